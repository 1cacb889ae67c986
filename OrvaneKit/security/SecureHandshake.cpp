#include "OrvaneKit/security/SecureHandshake.h"

#include <openssl/crypto.h>

#include "OrvaneKit/crypto/CryptoError.h"
#include "OrvaneKit/crypto/Hash.h"
#include "OrvaneKit/crypto/Kdf.h"
#include "OrvaneKit/crypto/MlDsa87.h"
#include "OrvaneKit/security/SecureChannelError.h"

namespace orvane {

namespace {

constexpr std::string_view kInfoC2S = "kelsap c2s";
constexpr std::string_view kInfoS2C = "kelsap s2c";

void requireIdentityKey(ByteView key) {
    if (key.size() != MlDsa87::publicKeySize) throw CryptoError("identity key must be 2,592 bytes");
}

}  // namespace

SecureHandshake::SecureHandshake(Role role, ByteView accessKey, SecureIdentity& identity,
                                 RandomSource& random)
    : role_(role), accessKey_(accessKey), identity_(identity), random_(random) {
    if (accessKey.size() != accessKeySize) throw CryptoError("access key must be 32 bytes");
}

SecureHandshake::~SecureHandshake() = default;

Bytes SecureHandshake::encodeFields(std::initializer_list<ByteView> fields) {
    std::size_t total = 0;
    for (ByteView f : fields) total += 4 + f.size();
    Bytes out;
    out.reserve(total);
    for (ByteView f : fields) {
        appendBE32(out, static_cast<std::uint32_t>(f.size()));
        append(out, f);
    }
    return out;
}

std::vector<Bytes> SecureHandshake::decodeFields(ByteView body, std::size_t expectedCount) {
    std::vector<Bytes> fields;
    std::size_t offset = 0;
    while (offset < body.size()) {
        if (body.size() - offset < 4) throw SecureChannelError::malformed();
        const std::size_t n = readBE32(body.data() + offset);
        offset += 4;
        if (n > maxFieldSize || body.size() - offset < n) throw SecureChannelError::malformed();
        // Never more than the expected count kept around, whatever the sender claims.
        if (fields.size() == expectedCount) throw SecureChannelError::malformed();
        fields.emplace_back(body.begin() + static_cast<std::ptrdiff_t>(offset),
                            body.begin() + static_cast<std::ptrdiff_t>(offset + n));
        offset += n;
    }
    if (fields.size() != expectedCount) throw SecureChannelError::malformed();
    return fields;
}

Bytes SecureHandshake::makeClientHello() {
    if (role_ != Role::client) throw SecureChannelError::outOfOrder();
    // A failing source throws or aborts; a nonce is never left at zero.
    Bytes nonce = randomBytes(nonceSize, random_);
    Bytes hello = encodeFields({nonce, identity_.publicKey()});
    transcript_.assign(transcriptLabel.begin(), transcriptLabel.end());
    append(transcript_, hello);
    return hello;
}

Bytes SecureHandshake::respondToClientHello(ByteView hello) {
    if (role_ != Role::server) throw SecureChannelError::outOfOrder();
    std::vector<Bytes> fields = decodeFields(hello, 2);
    requireIdentityKey(fields[1]);

    // Everything of an earlier unfinished hello is replaced.
    XWing::PrivateKey eph = XWing::generateKeyPair(random_);
    const Bytes serverPub = identity_.publicKey();
    Bytes transcript(transcriptLabel.begin(), transcriptLabel.end());
    append(transcript, hello);
    append(transcript, eph.publicKey());
    append(transcript, serverPub);
    Bytes sig = identity_.sign(transcript);
    append(transcript, sig);

    Bytes reply = encodeFields({eph.publicKey(), serverPub, sig});
    transcript_ = std::move(transcript);
    clientIdentity_ = fields[1];
    peerIdentity_ = std::move(fields[1]);
    serverEphemeral_.emplace(std::move(eph));
    return reply;
}

SecureHandshake::ClientResult SecureHandshake::handleServerHello(ByteView reply) {
    if (role_ != Role::client) throw SecureChannelError::outOfOrder();
    std::vector<Bytes> fields = decodeFields(reply, 3);
    if (!XWing::isValidPublicKey(fields[0])) throw CryptoError("invalid ephemeral key");
    requireIdentityKey(fields[1]);

    append(transcript_, fields[0]);
    append(transcript_, fields[1]);
    // The key in the hello itself proves the signature; pinning it is the connection's check.
    if (!MlDsa87::verify(fields[1], transcript_, fields[2]))
        throw SecureChannelError::badSignature();
    peerIdentity_ = fields[1];
    append(transcript_, fields[2]);

    XWing::Encapsulation enc = XWing::encapsulate(fields[0], random_);
    append(transcript_, enc.ciphertext);
    Bytes sig = identity_.sign(transcript_);
    append(transcript_, sig);

    ClientResult result;
    result.channel = deriveChannel(enc.sharedSecret);
    result.finish = encodeFields({enc.ciphertext, sig});
    return result;
}

std::shared_ptr<SecureMessageChannel> SecureHandshake::acceptFinish(ByteView finish) {
    if (role_ != Role::server) throw SecureChannelError::outOfOrder();
    std::vector<Bytes> fields = decodeFields(finish, 2);
    if (!clientIdentity_ || !serverEphemeral_) throw SecureChannelError::outOfOrder();

    append(transcript_, fields[0]);
    if (!MlDsa87::verify(*clientIdentity_, transcript_, fields[1]))
        throw SecureChannelError::badSignature();
    append(transcript_, fields[1]);

    // The ephemeral key is dropped (and wiped) whether or not decapsulation succeeds.
    std::optional<XWing::PrivateKey> eph;
    eph.swap(serverEphemeral_);
    SecureBytes secret = eph->decapsulate(fields[0]);
    eph.reset();
    return deriveChannel(secret);
}

std::array<std::uint8_t, 64> SecureHandshake::keySalt(ByteView accessKey, ByteView transcript) {
    Bytes input;
    input.reserve(accessKey.size() + transcript.size());
    append(input, accessKey);
    append(input, transcript);
    const auto salt = sha512(input);
    OPENSSL_cleanse(input.data(), accessKey.size());
    return salt;
}

std::array<std::uint8_t, 64> SecureHandshake::keySalt(ByteView accessKey) const {
    return keySalt(accessKey, transcript_);
}

std::shared_ptr<SecureMessageChannel> SecureHandshake::deriveChannel(ByteView sharedSecret) const {
    return deriveChannel(role_, accessKey_.view(), transcript_, sharedSecret);
}

std::shared_ptr<SecureMessageChannel> SecureHandshake::deriveChannel(Role role, ByteView accessKey,
                                                                     ByteView transcript,
                                                                     ByteView sharedSecret) {
    const auto salt = keySalt(accessKey, transcript);
    SecureBytes c2s = SecureBytes::adopt(
        hkdfSha512(sharedSecret, salt, asBytes(kInfoC2S), SecureMessageChannel::keySize));
    SecureBytes s2c = SecureBytes::adopt(
        hkdfSha512(sharedSecret, salt, asBytes(kInfoS2C), SecureMessageChannel::keySize));
    // The client sends with c2s; the server with s2c.
    if (role == Role::client) return std::make_shared<SecureMessageChannel>(c2s.view(), s2c.view());
    return std::make_shared<SecureMessageChannel>(s2c.view(), c2s.view());
}

}  // namespace orvane
