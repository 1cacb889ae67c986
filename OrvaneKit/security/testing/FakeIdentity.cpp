#include "OrvaneKit/security/testing/FakeIdentity.h"

#include "OrvaneKit/base/Base64.h"

namespace orvane {

FakeIdentity::FakeIdentity(ByteView seed32, RandomSource& random, std::string applicationId) {
    const std::string service = "com.nimbrel.kelsap.identity." + applicationId;
    store_.add({service, SecureIdentity::seedAccount, std::nullopt}, base64Encode(seed32), false);
    identity_ = std::make_unique<SecureIdentity>(store_, std::move(applicationId), random);
}

}  // namespace orvane
