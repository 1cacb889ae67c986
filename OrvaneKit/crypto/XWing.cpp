#include "OrvaneKit/crypto/XWing.h"

#include <cstring>

#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/crypto/Keccak.h"
#include "OrvaneKit/crypto/MlKem768.h"
#include "OrvaneKit/crypto/X25519.h"

namespace orvane {

namespace {

constexpr std::uint8_t kLabel[6] = {0x5c, 0x2e, 0x2f, 0x2f, 0x5e, 0x5c};  // "\./" "/^\"
constexpr std::size_t kMlKemPk = MlKem768::encapsulationKeySize;
constexpr std::size_t kMlKemCt = MlKem768::ciphertextSize;
static_assert(kMlKemPk + 32 == XWing::publicKeySize);
static_assert(kMlKemCt + 32 == XWing::ciphertextSize);

// The label goes last; early drafts put it first, which silently breaks interoperability.
SecureBytes combine(ByteView ssM, ByteView ssX, ByteView ctX, ByteView pkX) {
    Keccak h(Keccak::Kind::sha3_256);
    h.absorb(ssM);
    h.absorb(ssX);
    h.absorb(ctX);
    h.absorb(pkX);
    h.absorb(ByteView(kLabel, sizeof(kLabel)));
    SecureBytes ss(32);
    h.squeeze(ss.data(), ss.size());
    return ss;
}

SecureBytes requireX25519(const X25519PrivateKey& priv, ByteView pub) {
    auto ss = priv.sharedSecret(pub);
    if (!ss) throw CryptoError("X-Wing: X25519 refused the peer key");
    return std::move(*ss);
}

}  // namespace

XWing::PrivateKey XWing::generateKeyPairDerand(ByteView seed) {
    if (seed.size() != seedSize) throw CryptoError("X-Wing: seed must be 32 bytes");
    SecureBytes expanded(96);
    {
        Keccak xof(Keccak::Kind::shake256);
        xof.absorb(seed);
        xof.squeeze(expanded.data(), expanded.size());
    }
    const ByteView x = expanded.view();
    auto kem = MlKem768::keyGenInternal(x.subspan(0, 32), x.subspan(32, 32));

    PrivateKey key;
    key.seed_ = SecureBytes(seed);
    key.x25519_.emplace(x.subspan(64, 32));
    key.mlKemDecapsulationKey_ = std::move(kem.decapsulationKey);
    key.publicKey_ = std::move(kem.encapsulationKey);
    append(key.publicKey_, key.x25519_->publicKey());
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
    const ByteView pkM = pk.first(kMlKemPk);
    const ByteView pkX = pk.subspan(kMlKemPk);
    auto kem = MlKem768::encapsInternal(pkM, eseed.first(32));  // runs the modulus check
    const X25519PrivateKey ekX(eseed.subspan(32, 32));
    const Bytes& ctX = ekX.publicKey();
    const SecureBytes ssX = requireX25519(ekX, pkX);

    Encapsulation out;
    out.sharedSecret = combine(kem.sharedSecret, ssX, ctX, pkX);
    out.ciphertext = std::move(kem.ciphertext);
    append(out.ciphertext, ctX);
    return out;
}

XWing::Encapsulation XWing::encapsulate(ByteView pk, RandomSource& random) {
    SecureBytes eseed(encapsulationSeedSize);
    random.fill(eseed.data(), eseed.size());
    return encapsulateDerand(pk, eseed);
}

SecureBytes XWing::PrivateKey::decapsulate(ByteView ct) const {
    if (ct.size() != ciphertextSize) throw CryptoError("X-Wing: ciphertext must be 1120 bytes");
    const ByteView ctM = ct.first(kMlKemCt);
    const ByteView ctX = ct.subspan(kMlKemCt);
    const SecureBytes ssM = MlKem768::decaps(mlKemDecapsulationKey_, ctM);
    const SecureBytes ssX = requireX25519(*x25519_, ctX);
    return combine(ssM, ssX, ctX, ByteView(publicKey_).subspan(kMlKemPk));
}

}  // namespace orvane
