#pragma once

#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/crypto/Random.h"
#include "OrvaneKit/crypto/SecureBytes.h"
#include "OrvaneKit/security/SecretStore.h"

namespace orvane {

// The device's long-lived ML-DSA-87 signing key. Its 32-byte seed lives in the secret store
// under the service "com.nimbrel.kelsap.identity.<application id>", so each application has an
// identity of its own; peers recognise the device by the fingerprint of its public key.
//
// There is no secure element on this platform: keys are software keys, never hardware-backed,
// and biometric protection cannot be switched on. An enclave item left by another platform is
// ignored and left in place.
class SecureIdentity {
public:
    class IdentityError : public std::exception {
    public:
        enum class Kind { biometricUnavailable };
        explicit IdentityError(Kind kind) : kind_(kind) {}
        Kind kind() const { return kind_; }
        const char* what() const noexcept override {
            return "Biometric authentication is not available.";
        }
        bool operator==(const IdentityError&) const = default;

    private:
        Kind kind_;
    };

    static constexpr const char* hostApplicationId = "com.nimbrel.kelsap.host";
    static constexpr const char* enclaveAccount = "identity.mldsa87.enclave";
    static constexpr const char* seedAccount = "identity.mldsa87.seed";
    static constexpr const char* biometricFlag = "identity.biometric";

    // Loads the key from the stored seed, or makes a new one and stores it when there is no
    // seed (or only one that cannot be decoded, which is moved aside, never deleted). When the
    // store cannot be read it throws PlatformError and writes nothing: replacing a key that may
    // still exist would break every peer that pinned it. An empty application id stands for
    // the process name.
    SecureIdentity(SecretStore& store, std::string applicationId,
                   RandomSource& random = systemRandom());
    SecureIdentity(const SecureIdentity&) = delete;
    SecureIdentity& operator=(const SecureIdentity&) = delete;

    const std::string& service() const { return service_; }
    // The raw public key, 2,592 bytes.
    Bytes publicKey() const;
    bool isHardwareBacked() const { return false; }
    std::string fingerprint() const;
    // The first 16 bytes of SHA-256 of a raw public key, as eight groups of four upper-case hex
    // digits joined by single spaces (39 characters).
    static std::string fingerprint(ByteView rawPublicKey);

    // Hedged ML-DSA-87 signature (4,627 bytes) with an empty context.
    Bytes sign(ByteView message) const;

    bool requiresBiometric() const;
    static bool canUseBiometric() { return false; }
    // true: throws IdentityError::biometricUnavailable and changes nothing. false: a new
    // software key replaces the current one (a new fingerprint); when its seed cannot be stored
    // the old key stays and PlatformError is thrown.
    void setBiometric(bool enabled);

private:
    struct Key {
        SecureBytes secretKey;
        Bytes publicKey;
    };

    std::shared_ptr<const Key> currentKey() const;
    std::shared_ptr<const Key> makeKey(SecureBytes& seedOut) const;
    void moveAside(const std::string& value) const;

    SecretStore& store_;
    RandomSource& random_;
    std::string service_;
    mutable std::mutex lock_;
    std::shared_ptr<const Key> key_;  // guarded by lock_; replaced, never changed in place
};

}  // namespace orvane
