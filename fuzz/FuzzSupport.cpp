#include "FuzzSupport.h"

#include "OrvaneKit/security/testing/FakeIdentity.h"

namespace orvane::fuzz {

namespace {
Bytes filled(std::size_t n, std::uint8_t v) {
    return Bytes(n, v);
}
}  // namespace

ReplayRandom& identityRandom() {
    static ReplayRandom random(toBytes("fuzz identity signatures"));
    return random;
}

SecureIdentity& clientIdentity() {
    static FakeIdentity identity(filled(32, 0xC1), identityRandom(),
                                 "com.nimbrel.kelsap.fuzz.client");
    return identity.identity();
}

SecureIdentity& serverIdentity() {
    static FakeIdentity identity(filled(32, 0x5E), identityRandom(),
                                 "com.nimbrel.kelsap.fuzz.server");
    return identity.identity();
}

ByteView accessKey() {
    static const Bytes key = filled(32, 0xA5);
    return key;
}

}  // namespace orvane::fuzz
