#pragma once

#include <stdexcept>
#include <string>

namespace orvane {

// POSIX-style codes as the protocol layer reports them. They keep the numbering the viewer apps
// use, so they are our own constants and never <cerrno> values.
namespace Err {
inline constexpr int auth = 80;          // EAUTH: the secure channel failed
inline constexpr int notConnected = 57;  // ENOTCONN: sent before the channel is ready
inline constexpr int invalid = 22;       // EINVAL: a body that cannot be encoded
}  // namespace Err

// A failure reported by an operating-system or library service.
struct PlatformError : std::runtime_error {
    std::string domain;
    int code;
    PlatformError(std::string domain_, int code_, const std::string& text)
        : std::runtime_error(text), domain(std::move(domain_)), code(code_) {}
};

// A network failure, as reported in a connection state.
struct NetError {
    enum class Kind { posix, tls, dns };
    Kind kind = Kind::posix;
    int code = 0;
    std::string text;
    bool operator==(const NetError&) const = default;
};

}  // namespace orvane
