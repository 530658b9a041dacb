// The four calls of the USB link as the viewer sees them. Production binds
// them to marlex by name; tests substitute a scripted conversation.
#pragma once

#include <cstdint>
#include <stdexcept>

namespace karvolen {

// The link library, or one of its names, could not be bound.
class LinkUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class LinkApi {
public:
    virtual ~LinkApi() = default;
    // Each may throw LinkUnavailable when its binding fails.
    virtual int32_t OpenCom() = 0;
    virtual int32_t CloseCom() = 0;
    virtual int32_t ReadCom(uint8_t* buffer, int32_t length) = 0;
    virtual int32_t WriteCom(const uint8_t* buffer, int32_t length) = 0;
};

}  // namespace karvolen
