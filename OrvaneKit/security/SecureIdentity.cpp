#include "OrvaneKit/security/SecureIdentity.h"

#include <cerrno>
#include <chrono>

#include "OrvaneKit/base/Base64.h"
#include "OrvaneKit/base/Errors.h"
#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/crypto/Hash.h"
#include "OrvaneKit/crypto/MlDsa87.h"
#include "OrvaneKit/security/Keychain.h"

namespace orvane {

namespace {

const Logger& log() {
    static const Logger logger{"com.nimbrel.kelsap", "identity"};
    return logger;
}

std::string processName() {
    const char* name = program_invocation_short_name;
    return (name && *name) ? name : "orvane";
}

}  // namespace

SecureIdentity::SecureIdentity(SecretStore& store, std::string applicationId, RandomSource& random)
    : store_(store), random_(random) {
    service_ =
        "com.nimbrel.kelsap.identity." + (applicationId.empty() ? processName() : applicationId);
    const KeychainItemId seedId{service_, seedAccount, std::nullopt};

    SecretStore::ReadResult stored = store_.read(seedId);
    if (stored.status == KeychainStatus::ioError) {
        log().error("identity key of {} could not be read from the keychain; not replacing it",
                    service_);
        throw PlatformError("keychain", static_cast<int>(KeychainStatus::ioError),
                            "The device identity could not be read from the keychain.");
    }
    if (stored.status == KeychainStatus::success) {
        std::optional<Bytes> seed = base64Decode(stored.value);
        if (seed && seed->size() == MlDsa87::seedSize) {
            MlDsa87::KeyPair pair = MlDsa87::keyGen(*seed);
            OPENSSL_cleanse(seed->data(), seed->size());
            key_ = std::make_shared<const Key>(
                Key{std::move(pair.secretKey), std::move(pair.publicKey)});
            return;
        }
        if (seed) OPENSSL_cleanse(seed->data(), seed->size());
        log().error(
            "stored identity key of {} cannot be decoded; keeping it aside and making a new one",
            service_);
        moveAside(stored.value);
    }

    SecureBytes seed;
    key_ = makeKey(seed);
    const std::string text = base64Encode(seed.view());
    if (store_.replace(seedId, text, false) != KeychainStatus::success)
        log().error("new identity key of {} could not be stored; the next start will make another",
                    service_);
    else
        log().notice("made a new identity key for {}", service_);
}

std::shared_ptr<const SecureIdentity::Key> SecureIdentity::makeKey(SecureBytes& seedOut) const {
    seedOut = SecureBytes(MlDsa87::seedSize);
    random_.fill(seedOut.data(), seedOut.size());
    MlDsa87::KeyPair pair = MlDsa87::keyGen(seedOut.view());
    return std::make_shared<const Key>(Key{std::move(pair.secretKey), std::move(pair.publicKey)});
}

void SecureIdentity::moveAside(const std::string& value) const {
    const auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string account = std::string(seedAccount) + ".unreadable-" + std::to_string(stamp);
        if (attempt > 0) account += "-" + std::to_string(attempt);
        const KeychainStatus status = store_.add({service_, account, std::nullopt}, value, false);
        if (status == KeychainStatus::success) return;
        if (status != KeychainStatus::duplicate) break;
    }
    log().error("unreadable identity key of {} could not be kept aside; not replacing it",
                service_);
    throw PlatformError("keychain", static_cast<int>(KeychainStatus::ioError),
                        "The device identity could not be replaced in the keychain.");
}

std::shared_ptr<const SecureIdentity::Key> SecureIdentity::currentKey() const {
    std::lock_guard<std::mutex> guard(lock_);
    return key_;
}

Bytes SecureIdentity::publicKey() const {
    return currentKey()->publicKey;
}

std::string SecureIdentity::fingerprint() const {
    return fingerprint(currentKey()->publicKey);
}

std::string SecureIdentity::fingerprint(ByteView rawPublicKey) {
    const auto digest = sha256(rawPublicKey);
    const std::string hex = toHex(ByteView(digest.data(), 16), true);
    std::string out;
    out.reserve(39);
    for (std::size_t i = 0; i < hex.size(); i += 4) {
        if (i > 0) out.push_back(' ');
        out.append(hex, i, 4);
    }
    return out;
}

Bytes SecureIdentity::sign(ByteView message) const {
    // The signing runs on a copy, outside the lock, so connections sign in parallel.
    const std::shared_ptr<const Key> key = currentKey();
    SecureBytes rnd(32);
    random_.fill(rnd.data(), rnd.size());
    return MlDsa87::signWithRnd(key->secretKey.view(), message, {}, rnd.view());
}

bool SecureIdentity::requiresBiometric() const {
    return Keychain::read(biometricFlag, service_, std::nullopt, store_) == std::string("1");
}

void SecureIdentity::setBiometric(bool enabled) {
    if (enabled) throw IdentityError(IdentityError::Kind::biometricUnavailable);
    store_.remove({service_, biometricFlag, std::nullopt});
    SecureBytes seed;
    std::shared_ptr<const Key> key = makeKey(seed);
    if (store_.replace({service_, seedAccount, std::nullopt}, base64Encode(seed.view()), false) !=
        KeychainStatus::success) {
        // Keep the key that the stored seed still matches, or the next start would switch back.
        log().error("new identity key of {} could not be stored; keeping the current one",
                    service_);
        throw PlatformError("keychain", static_cast<int>(KeychainStatus::ioError),
                            "The new device identity could not be stored in the keychain.");
    }
    store_.remove({service_, enclaveAccount, std::nullopt});
    std::lock_guard<std::mutex> guard(lock_);
    key_ = std::move(key);
}

}  // namespace orvane
