#include "platform/linux/x264_session.h"

namespace vx {

Status CompressionSession::create(int32_t, int32_t, uint32_t, const EncoderSpecification&,
                                  std::shared_ptr<CompressionSession>*) {
    return -12902;
}

}  // namespace vx
