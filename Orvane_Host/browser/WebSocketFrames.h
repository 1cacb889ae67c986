#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "OrvaneKit/base/Bytes.h"

namespace orvane::websocket {

enum Opcode : std::uint8_t {
    continuation = 0,
    text = 1,
    binary = 2,
    close = 8,
    ping = 9,
    pong = 10,
};

// Input messages are tiny; nothing a browser sends comes near this.
inline constexpr std::uint64_t maxPayload = 1 << 20;
inline constexpr std::uint64_t maxControlPayload = 125;
inline constexpr std::size_t maxHeader = 14;

// The Sec-WebSocket-Accept value for a client's key.
std::string acceptValue(std::string_view key);

// A server frame's header: FIN set, no mask, the shortest length form.
Bytes encodeFrameHeader(std::uint8_t opcode, std::uint64_t payloadLength);

struct Frame {
    std::uint8_t opcode = 0;  // FIN and the reserved bits are not kept
    Bytes payload;            // unmasked
};

// Reads a client's frames, masked or not, from bytes as they arrive. A frame whose declared
// length exceeds `maxPayload` (or whose end offset would not fit a signed 64-bit number), or a
// control frame over 125 bytes, fails the reader for good; so it never holds more than one
// incomplete frame of at most maxHeader + maxPayload bytes.
class FrameReader {
public:
    // Nothing once failed.
    void append(ByteView bytes);
    // The next complete frame, if any.
    std::optional<Frame> next();
    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    std::size_t buffered() const { return buffer_.size() - offset_; }

private:
    Bytes buffer_;
    std::size_t offset_ = 0;
    std::string error_;
};

}  // namespace orvane::websocket
