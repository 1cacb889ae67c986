#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/crypto/Random.h"
#include "OrvaneKit/crypto/SecureBytes.h"
#include "OrvaneKit/crypto/XWing.h"
#include "OrvaneKit/security/SecureIdentity.h"
#include "OrvaneKit/security/SecureMessageChannel.h"

namespace orvane {

// One side of the end-to-end handshake that runs inside TLS before any other message:
//   40 client hello   [nonce(32), client identity key(2592)]
//   41 server hello   [ephemeral X-Wing key(1216), server identity key(2592), server
//   signature(4627)] 42 finish         [X-Wing encapsulation(1120), client signature(4627)]
// Both ends bind everything into one transcript that both signatures cover, and derive the two
// record keys from the X-Wing secret with the access key mixed into the salt.
//
// Driven from one serial queue; no lock of its own. Errors: SecureChannelError for broken or
// out-of-order messages and bad signatures; CryptoError for unusable keys and ciphertexts and
// whatever the random source or identity throw, all of which the connection reports as
// malformed.
class SecureHandshake {
public:
    enum class Role { client, server };

    static constexpr std::string_view transcriptLabel = "kelsap-secure-v1";
    static constexpr std::size_t maxFieldSize = 1048576;
    static constexpr std::size_t nonceSize = 32;
    static constexpr std::size_t accessKeySize = 32;

    struct ClientResult {
        Bytes finish;  // body of message 42
        std::shared_ptr<SecureMessageChannel> channel;
    };

    // Throws CryptoError unless the access key has 32 bytes. The random source gives the
    // nonce and the X-Wing randomness; the identity must outlive the handshake.
    SecureHandshake(Role role, ByteView accessKey, SecureIdentity& identity,
                    RandomSource& random = systemRandom());
    ~SecureHandshake();
    SecureHandshake(const SecureHandshake&) = delete;
    SecureHandshake& operator=(const SecureHandshake&) = delete;

    // Client: body of message 40; starts the transcript afresh.
    Bytes makeClientHello();
    // Server: body of message 41 for a message 40. A new hello before the finish starts over.
    Bytes respondToClientHello(ByteView hello);
    // Client: message 42 and the channel. The caller checks the peer's fingerprint before
    // sending the finish.
    ClientResult handleServerHello(ByteView reply);
    // Server: the channel for message 42.
    std::shared_ptr<SecureMessageChannel> acceptFinish(ByteView finish);

    // Each field as a big-endian u32 length followed by its bytes; nothing else.
    static Bytes encodeFields(std::initializer_list<ByteView> fields);
    // Exactly `expectedCount` fields of at most maxFieldSize bytes and nothing after the last;
    // anything else throws SecureChannelError::malformed.
    static std::vector<Bytes> decodeFields(ByteView body, std::size_t expectedCount);

    // The channel for a shared secret over the transcript so far.
    std::shared_ptr<SecureMessageChannel> deriveChannel(ByteView sharedSecret) const;
    // SHA-512 of the access key followed by the transcript.
    std::array<std::uint8_t, 64> keySalt(ByteView accessKey) const;
    // The same two steps over any transcript, for checks against worked examples.
    static std::array<std::uint8_t, 64> keySalt(ByteView accessKey, ByteView transcript);
    static std::shared_ptr<SecureMessageChannel> deriveChannel(Role role, ByteView accessKey,
                                                               ByteView transcript,
                                                               ByteView sharedSecret);

    Role role() const { return role_; }
    ByteView accessKey() const { return accessKey_.view(); }
    SecureIdentity& identity() const { return identity_; }
    const Bytes& transcript() const { return transcript_; }
    // The peer's raw identity key: on the server from the hello, on the client once the server
    // hello's signature verified.
    const std::optional<Bytes>& peerIdentity() const { return peerIdentity_; }
    const std::optional<Bytes>& clientIdentity() const { return clientIdentity_; }
    bool hasServerEphemeral() const { return serverEphemeral_.has_value(); }

private:
    Role role_;
    SecureBytes accessKey_;
    SecureIdentity& identity_;
    RandomSource& random_;
    Bytes transcript_;
    std::optional<XWing::PrivateKey> serverEphemeral_;
    std::optional<Bytes> clientIdentity_;
    std::optional<Bytes> peerIdentity_;
};

}  // namespace orvane
