#pragma once
// Owns one reference to a CoreFoundation object (pixel buffers, block buffers,
// format descriptions, compression sessions, dictionaries, colours) and releases
// it when done. Move-only. Any thread.
#include <CoreFoundation/CoreFoundation.h>

#include <utility>

namespace vx {

template <typename Ref>
class CFRef {
public:
    CFRef() = default;
    // Takes over a reference the caller owns (from a Create or Copy call).
    static CFRef adopt(Ref ref) { return CFRef(ref); }
    // Takes a reference of its own to an object the caller only borrows.
    static CFRef retain(Ref ref) {
        if (ref) CFRetain(ref);
        return CFRef(ref);
    }

    CFRef(CFRef&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
    CFRef& operator=(CFRef&& other) noexcept {
        if (this != &other) {
            reset();
            ref_ = std::exchange(other.ref_, nullptr);
        }
        return *this;
    }
    CFRef(const CFRef&) = delete;
    CFRef& operator=(const CFRef&) = delete;
    ~CFRef() { reset(); }

    // Null when nothing is held.
    Ref get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }
    // Hands the reference to the caller, who then releases it.
    Ref release() { return std::exchange(ref_, nullptr); }
    void reset() {
        if (ref_) CFRelease(ref_);
        ref_ = nullptr;
    }

private:
    explicit CFRef(Ref ref) : ref_(ref) {}
    Ref ref_ = nullptr;
};

}  // namespace vx
