#include "OrvaneKit/security/SecureChannelError.h"

namespace orvane {

namespace {

const char* text(SecureChannelError::Kind kind) {
    switch (kind) {
        case SecureChannelError::Kind::identityChanged:
            return "This Mac's security identity has changed. If you did not reinstall Orvane "
                   "Host, someone may "
                   "be impersonating it.";
        case SecureChannelError::Kind::badSignature:
            return "The other device failed to prove its identity.";
        case SecureChannelError::Kind::malformed:
        case SecureChannelError::Kind::outOfOrder:
            return "The secure handshake was invalid.";
        case SecureChannelError::Kind::tampered:
            return "A message failed its integrity check.";
    }
    return "The secure handshake was invalid.";
}

}  // namespace

const char* SecureChannelError::kindName(Kind kind) {
    switch (kind) {
        case Kind::identityChanged:
            return "identityChanged";
        case Kind::badSignature:
            return "badSignature";
        case Kind::malformed:
            return "malformed";
        case Kind::outOfOrder:
            return "outOfOrder";
        case Kind::tampered:
            return "tampered";
    }
    return "unknown";
}

std::string SecureChannelError::description() const {
    return text(kind_);
}

const char* SecureChannelError::what() const noexcept {
    return text(kind_);
}

}  // namespace orvane
