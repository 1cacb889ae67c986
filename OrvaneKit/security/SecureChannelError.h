#pragma once

#include <exception>
#include <string>

namespace orvane {

// Why a secure session failed. The handshake, the sealed records and the connection's own
// security checks all report through it; `description()` is the text people see.
class SecureChannelError : public std::exception {
public:
    enum class Kind { identityChanged, badSignature, malformed, outOfOrder, tampered };

    // The pinned fingerprint and the one the peer showed.
    static SecureChannelError identityChanged(std::string expected, std::string got) {
        return SecureChannelError(Kind::identityChanged, std::move(expected), std::move(got));
    }
    static SecureChannelError badSignature() { return SecureChannelError(Kind::badSignature); }
    static SecureChannelError malformed() { return SecureChannelError(Kind::malformed); }
    static SecureChannelError outOfOrder() { return SecureChannelError(Kind::outOfOrder); }
    static SecureChannelError tampered() { return SecureChannelError(Kind::tampered); }

    Kind kind() const { return kind_; }
    // Only identityChanged carries these; empty otherwise.
    const std::string& expected() const { return expected_; }
    const std::string& got() const { return got_; }

    std::string description() const;
    // The kind's name ("outOfOrder", "tampered", ...), for logs: several kinds share a text.
    static const char* kindName(Kind kind);
    const char* what() const noexcept override;

    bool operator==(const SecureChannelError& other) const {
        return kind_ == other.kind_ && expected_ == other.expected_ && got_ == other.got_;
    }

private:
    explicit SecureChannelError(Kind kind, std::string expected = {}, std::string got = {})
        : kind_(kind), expected_(std::move(expected)), got_(std::move(got)) {}

    Kind kind_;
    std::string expected_;
    std::string got_;
};

}  // namespace orvane
