#pragma once

#include <memory>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/crypto/Random.h"
#include "OrvaneKit/security/SecureIdentity.h"
#include "OrvaneKit/security/testing/MemorySecretStore.h"

namespace orvane {

// A SecureIdentity whose key comes from a fixed 32-byte seed, over an in-memory store. With a
// fixed random source its signatures are reproducible too.
class FakeIdentity {
public:
    explicit FakeIdentity(ByteView seed32, RandomSource& random = systemRandom(),
                          std::string applicationId = "com.nimbrel.kelsap.test");

    SecureIdentity& identity() { return *identity_; }
    MemorySecretStore& store() { return store_; }

private:
    MemorySecretStore store_;
    std::unique_ptr<SecureIdentity> identity_;
};

}  // namespace orvane
