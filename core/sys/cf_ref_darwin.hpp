#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <utility>

// Sole owner of one Core Foundation reference taken under the create or copy rule: released
// when the guard goes away, whatever path leaves the scope. Empty (NULL) owns nothing.
template <typename Ref>
class CfRef {
public:
    CfRef() = default;
    explicit CfRef(Ref ref) : ref_(ref) {}
    ~CfRef() { reset(); }

    CfRef(CfRef&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
    CfRef& operator=(CfRef&& other) noexcept {
        if (this != &other) {
            reset();
            ref_ = std::exchange(other.ref_, nullptr);
        }
        return *this;
    }
    CfRef(const CfRef&) = delete;
    CfRef& operator=(const CfRef&) = delete;

    Ref get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }

    // The place a Copy or Create call writes its result to; whatever was held is released first,
    // so a result written there is owned from then on.
    Ref* out() {
        reset();
        return &ref_;
    }

    void reset() {
        if (ref_ != nullptr) CFRelease(ref_);
        ref_ = nullptr;
    }

private:
    Ref ref_ = nullptr;
};
