#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

#include "OrvaneKit/base/Bytes.h"

struct evp_cipher_ctx_st;

namespace orvane {

// The two record keys and record counters of one secure session. A record is the AES-256-GCM
// ciphertext of a body followed by its 16-byte tag; the nonce is counted on both ends, never
// sent, and there is no additional data (the frame's message code is not covered).
//
// `lock_` covers only taking a record number; the cipher work runs outside it. Wire order
// equals number order only because every caller holds the connection's send lock across seal
// and enqueue.
class SecureMessageChannel {
public:
    static constexpr std::size_t keySize = 32;
    static constexpr std::size_t nonceSize = 12;
    static constexpr std::size_t tagSize = 16;
    using Nonce = std::array<std::uint8_t, nonceSize>;

    // Throws CryptoError unless both keys have 32 bytes. The first numbers are 0 except in
    // tests of the end of the number space.
    SecureMessageChannel(ByteView sendKey, ByteView receiveKey, std::uint64_t firstSendNumber = 0,
                         std::uint64_t firstReceiveNumber = 0);
    ~SecureMessageChannel();
    SecureMessageChannel(const SecureMessageChannel&) = delete;
    SecureMessageChannel& operator=(const SecureMessageChannel&) = delete;

    // Throws CryptoError when the send numbers are used up (never wraps); a failed seal still
    // uses up its number, so the connection must treat it as the end of sending.
    Bytes seal(ByteView body);
    // The same into out[0, body.size() + 16), which may be exactly the body's own buffer
    // (in place); returns the record size. The path for video frames: a fresh zeroed buffer per
    // record costs 10-15% of the cipher's throughput on small records.
    std::size_t sealInto(ByteView body, std::span<std::uint8_t> out);

    // Throws SecureChannelError::tampered for a record under 16 bytes (the number is not used
    // up), for one that fails authentication (it is) and when the numbers are used up.
    Bytes open(ByteView record);
    // The same into out[0, record.size() - 16), which may be exactly the record's own buffer.
    std::size_t openInto(ByteView record, std::span<std::uint8_t> out);

    // 00 00 00 00 followed by the number, big-endian.
    static Nonce nonce(std::uint64_t number);

    ByteView sendKey() const { return ByteView(send_.key.data(), keySize); }
    ByteView receiveKey() const { return ByteView(receive_.key.data(), keySize); }

private:
    struct Direction {
        std::array<std::uint8_t, keySize> key{};
        std::uint64_t counter = 0;  // guarded by lock_
        // A keyed context kept across records; whoever finds it busy makes a context of its own.
        std::mutex cipherMutex;
        evp_cipher_ctx_st* ctx = nullptr;
    };

    std::uint64_t take(Direction& d, bool& exhausted);

    std::mutex lock_;
    Direction send_;
    Direction receive_;
};

}  // namespace orvane
