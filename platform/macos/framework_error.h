#pragma once
// A framework's NSError as the boundary's error: its code and its localized
// description (empty when it has none). Objective-C++ only.
#import <Foundation/Foundation.h>

#include "platform/error.h"

namespace vx {

inline Error frameworkError(NSError* error) {
    const char* description = error.localizedDescription.UTF8String;
    return Error{int64_t(error.code), description ? std::string(description) : std::string()};
}

}  // namespace vx
