// Cheap stand-ins for ML-DSA-87 and X-Wing, linked instead of the real ones into the "_fastpq"
// fuzz targets only, so the handshake and the connection around it are explored at the speed of
// the other targets. They keep what those state machines can observe: every size, every
// CryptoError for a malformed input, the same randomness drawn, a signature that verifies only
// for its key, context and message (any changed byte fails), and a shared secret that any
// changed ciphertext byte alters. They offer no security whatsoever.

#ifndef ORVANE_FUZZ_FAST_PQ
#error "the post-quantum stand-ins belong only to the fast fuzz targets"
#endif

#include <openssl/evp.h>

#include <algorithm>

#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/crypto/MlDsa87.h"
#include "OrvaneKit/crypto/MlKem768.h"
#include "OrvaneKit/crypto/XWing.h"

namespace orvane {

namespace {

constexpr std::size_t kDigest = 32;
constexpr std::size_t kSigBody = MlDsa87::signatureSize - kDigest;
constexpr std::size_t kMlKemPk = MlKem768::encapsulationKeySize;
constexpr std::size_t kMlKemCt = MlKem768::ciphertextSize;

// SHAKE-256 of the parts through OpenSSL, which is neither instrumented nor slow: the stand-ins
// must cost little next to the code under test, whatever the message size.
Bytes hashOf(std::initializer_list<ByteView> parts, std::size_t n) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    Bytes out(n);
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_shake256(), nullptr) == 1;
    for (ByteView p : parts) ok = ok && EVP_DigestUpdate(ctx, p.data(), p.size()) == 1;
    ok = ok && EVP_DigestFinalXOF(ctx, out.data(), out.size()) == 1;
    EVP_MD_CTX_free(ctx);
    if (!ok) throw CryptoError("stand-in: SHAKE-256 failed");
    return out;
}

// The tag that binds a signature body to its key digest, context and message (read once).
Bytes signatureTag(ByteView keyDigest, ByteView messageDigest, ByteView context, ByteView body) {
    const std::uint8_t contextLength = static_cast<std::uint8_t>(context.size());
    return hashOf({keyDigest, ByteView(&contextLength, 1), context, messageDigest, body}, kDigest);
}

// An ML-KEM encapsulation key that passes the modulus check: 768 coefficients below q from the
// seed, twelve bits each, then 32 bytes of rho.
Bytes encapsulationKeyFrom(ByteView seed) {
    constexpr std::uint16_t q = 3329;
    const Bytes raw = hashOf({asBytes("stand-in ek"), seed}, 2 * 768 + 32);
    Bytes ek;
    ek.reserve(kMlKemPk);
    for (std::size_t i = 0; i < 768; i += 2) {
        const std::uint16_t a = static_cast<std::uint16_t>((raw[2 * i] | raw[2 * i + 1] << 8) % q);
        const std::uint16_t b =
            static_cast<std::uint16_t>((raw[2 * i + 2] | raw[2 * i + 3] << 8) % q);
        ek.push_back(static_cast<std::uint8_t>(a));
        ek.push_back(static_cast<std::uint8_t>((a >> 8) | (b << 4)));
        ek.push_back(static_cast<std::uint8_t>(b >> 4));
    }
    ek.insert(ek.end(), raw.end() - 32, raw.end());
    return ek;
}

// X25519 refuses points whose shared secret is zero; the stand-in refuses the two encodings of
// the smallest such points, so a zeroed key fails as it would.
bool lowOrder(ByteView x) {
    return x[0] <= 1 && std::all_of(x.begin() + 1, x.end(), [](std::uint8_t b) { return b == 0; });
}

SecureBytes sharedSecretOf(ByteView ciphertext, ByteView publicKey) {
    const Bytes ss = hashOf({asBytes("stand-in ss"), ciphertext, publicKey}, kDigest);
    return SecureBytes(ss);
}

}  // namespace

// ---- ML-DSA-87

MlDsa87::KeyPair MlDsa87::keyGen(ByteView seed32) {
    if (seed32.size() != seedSize) throw CryptoError("ML-DSA-87: seed must be 32 bytes");
    KeyPair pair;
    pair.publicKey = hashOf({asBytes("stand-in pk"), seed32}, publicKeySize);
    Bytes secret = hashOf({asBytes("stand-in sk"), seed32}, secretKeySize);
    const Bytes digest = hashOf({pair.publicKey}, kDigest);
    std::copy(digest.begin(), digest.end(), secret.begin());
    pair.secretKey = SecureBytes(secret);
    return pair;
}

Bytes MlDsa87::signWithRnd(ByteView secretKey, ByteView message, ByteView context, ByteView rnd32) {
    if (secretKey.size() != secretKeySize) throw CryptoError("ML-DSA-87: bad secret key size");
    if (context.size() > maxContextSize) throw CryptoError("ML-DSA-87: context too long");
    if (rnd32.size() != 32) throw CryptoError("ML-DSA-87: rnd must be 32 bytes");
    const ByteView keyDigest = secretKey.first(kDigest);
    const Bytes messageDigest = hashOf({message}, kDigest);
    Bytes signature = hashOf({rnd32, keyDigest, messageDigest}, kSigBody);
    const Bytes tag = signatureTag(keyDigest, messageDigest, context, signature);
    append(signature, tag);
    return signature;
}

Bytes MlDsa87::sign(ByteView secretKey, ByteView message, ByteView context, RandomSource& random) {
    SecureBytes rnd(32);
    random.fill(rnd.data(), rnd.size());
    return signWithRnd(secretKey, message, context, rnd.view());
}

Bytes MlDsa87::signDeterministic(ByteView secretKey, ByteView message, ByteView context) {
    const Bytes rnd(32, 0);
    return signWithRnd(secretKey, message, context, rnd);
}

bool MlDsa87::verify(ByteView publicKey, ByteView message, ByteView signature, ByteView context) {
    if (publicKey.size() != publicKeySize || signature.size() != signatureSize ||
        context.size() > maxContextSize)
        return false;
    const Bytes keyDigest = hashOf({publicKey}, kDigest);
    const ByteView body = signature.first(kSigBody);
    const Bytes tag = signatureTag(keyDigest, hashOf({message}, kDigest), context, body);
    return std::equal(tag.begin(), tag.end(), signature.begin() + kSigBody);
}

Bytes MlDsa87::signMu(ByteView, ByteView, ByteView) {
    throw CryptoError("ML-DSA-87: signing from mu is not part of the fuzzing stand-in");
}

// ---- X-Wing

XWing::PrivateKey XWing::generateKeyPairDerand(ByteView seed) {
    if (seed.size() != seedSize) throw CryptoError("X-Wing: seed must be 32 bytes");
    PrivateKey key;
    key.seed_ = SecureBytes(seed);
    key.publicKey_ = encapsulationKeyFrom(seed);
    append(key.publicKey_, hashOf({asBytes("stand-in x25519"), seed}, 32));
    if (lowOrder(ByteView(key.publicKey_).subspan(kMlKemPk))) key.publicKey_.back() = 0x40;
    return key;
}

XWing::PrivateKey XWing::generateKeyPair(RandomSource& random) {
    SecureBytes seed(seedSize);
    random.fill(seed.data(), seed.size());
    return generateKeyPairDerand(seed);
}

bool XWing::isValidPublicKey(ByteView pk) {
    return pk.size() == publicKeySize && MlKem768::isValidEncapsulationKey(pk.first(kMlKemPk));
}

XWing::Encapsulation XWing::encapsulateDerand(ByteView pk, ByteView eseed) {
    if (pk.size() != publicKeySize) throw CryptoError("X-Wing: public key must be 1216 bytes");
    if (eseed.size() != encapsulationSeedSize)
        throw CryptoError("X-Wing: encapsulation seed must be 64 bytes");
    if (!MlKem768::isValidEncapsulationKey(pk.first(kMlKemPk)))
        throw CryptoError("ML-KEM-768: encapsulation key fails the modulus check");
    if (lowOrder(pk.subspan(kMlKemPk))) throw CryptoError("X-Wing: X25519 refused the peer key");
    Encapsulation out;
    out.ciphertext = hashOf({asBytes("stand-in ct"), eseed.first(32), pk}, kMlKemCt);
    Bytes ctX = hashOf({asBytes("stand-in ctx"), eseed.subspan(32)}, 32);
    if (lowOrder(ctX)) ctX.back() = 0x40;
    append(out.ciphertext, ctX);
    out.sharedSecret = sharedSecretOf(out.ciphertext, pk);
    return out;
}

XWing::Encapsulation XWing::encapsulate(ByteView pk, RandomSource& random) {
    SecureBytes eseed(encapsulationSeedSize);
    random.fill(eseed.data(), eseed.size());
    return encapsulateDerand(pk, eseed);
}

SecureBytes XWing::PrivateKey::decapsulate(ByteView ct) const {
    if (ct.size() != ciphertextSize) throw CryptoError("X-Wing: ciphertext must be 1120 bytes");
    if (lowOrder(ct.subspan(kMlKemCt))) throw CryptoError("X-Wing: X25519 refused the peer key");
    return sharedSecretOf(ct, publicKey_);
}

}  // namespace orvane
