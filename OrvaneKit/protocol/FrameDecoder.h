#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/protocol/MessageType.h"

namespace orvane {

// A frame on the wire: message code (u32, big-endian), payload length (u32, big-endian), then
// the payload; frames follow each other back to back.
inline constexpr std::size_t frameHeaderSize = 8;

// No legitimate frame before the secure channel is larger than three 1 MiB fields with their
// 4-byte length prefixes.
inline constexpr std::uint32_t maxPayloadBeforeChannel = 3 * (4 + 1024 * 1024);
// After the channel, the largest bodies are keyframes and screenshots; anything beyond this is a
// peer trying to make us hold memory on its word.
inline constexpr std::uint32_t maxPayloadAfterChannel = 64u * 1024 * 1024;

struct FrameHeader {
    std::uint32_t code = 0;
    std::uint32_t length = 0;
};

std::array<std::uint8_t, frameHeaderSize> encodeHeader(std::uint32_t code, std::uint32_t length);
inline std::array<std::uint8_t, frameHeaderSize> encodeHeader(MessageType type,
                                                              std::uint32_t length) {
    return encodeHeader(rawValue(type), length);
}
// `bytes` must hold at least 8 bytes.
FrameHeader parseHeader(ByteView bytes);

// A payload longer than the 32-bit length field cannot be framed; refuse it before writing.
constexpr bool payloadFitsFrame(std::size_t size) {
    return size <= 0xFFFFFFFFu;
}

// The case for a received code; unassigned codes are delivered as `invalid` so the stream
// stays in step.
constexpr MessageType receivedType(std::uint32_t code) {
    return messageTypeFromRaw(code).value_or(MessageType::invalid);
}

struct Frame {
    MessageType type = MessageType::invalid;
    std::uint32_t code = 0;  // as received (differs from the type's code for unassigned codes)
    Bytes payload;
    bool operator==(const Frame&) const = default;
};

// Turns a byte stream, fed in chunks of any size, into whole frames. Memory grows only as bytes
// arrive, never to a length the peer merely announces: a large body's full length is reserved
// only once its first MiB is in, and reserved pages cost nothing until written. A header
// announcing more than the current limit fails the decoder for good; the caller ends the
// connection.
//
// Writers put header and payload on the wire as one write from a single queue, and treat a
// failed write as the end of the connection: a payload lost after its header leaves the peer's
// decoder out of step.
class FrameDecoder {
public:
    // Starts with the limit for the time before the secure channel.
    FrameDecoder() = default;

    // Buffers `chunk`; call next() until it gives nothing.
    void append(ByteView chunk);
    // The next whole frame, or nothing when more bytes are needed or the decoder has failed.
    // The limit applies to each header as it is parsed, so a caller that raises it right after
    // the frame that completes the handshake gets the new limit for every later frame.
    std::optional<Frame> next();
    // append() and every frame it completes.
    std::vector<Frame> feed(ByteView chunk);

    // Switches between the two limits above.
    void setChannelEstablished(bool established);
    void setMaxPayload(std::uint32_t limit) { maxPayload_ = limit; }
    std::uint32_t maxPayload() const { return maxPayload_; }

    // True once a frame exceeded the limit; the offending header's announced length is kept.
    bool failed() const { return failedLength_.has_value(); }
    std::optional<std::uint32_t> rejectedLength() const { return failedLength_; }

    // Bytes held: unparsed input plus the payload gathered so far.
    std::size_t bufferedBytes() const { return (input_.size() - consumed_) + payload_.size(); }
    // Memory held for them, which falls back to small once a large frame has been delivered.
    std::size_t bufferCapacity() const { return input_.capacity() + payload_.capacity(); }

private:
    std::size_t take(std::uint8_t* dst, std::size_t want);
    void compact();
    void appendPayload(ByteView bytes);

    Bytes input_;
    std::size_t consumed_ = 0;
    std::array<std::uint8_t, frameHeaderSize> header_{};
    std::size_t headerHave_ = 0;
    std::optional<FrameHeader> current_;
    Bytes payload_;
    std::uint32_t maxPayload_ = maxPayloadBeforeChannel;
    std::optional<std::uint32_t> failedLength_;
};

}  // namespace orvane
