#include "Orvane_Host/browser/WebSocketFrames.h"

#include <limits>

#include "OrvaneKit/base/Base64.h"
#include "OrvaneKit/crypto/Hash.h"

namespace orvane::websocket {

std::string acceptValue(std::string_view key) {
    std::string text(key);
    text += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    auto digest = sha1(asBytes(text));
    return base64Encode(digest);
}

Bytes encodeFrameHeader(std::uint8_t opcode, std::uint64_t n) {
    Bytes h;
    h.push_back(static_cast<std::uint8_t>(0x80 | (opcode & 0x0F)));
    if (n <= 125) {
        h.push_back(static_cast<std::uint8_t>(n));
    } else if (n <= 0xFFFF) {
        h.push_back(126);
        appendBE16(h, static_cast<std::uint16_t>(n));
    } else {
        h.push_back(127);
        appendBE64(h, n);
    }
    return h;
}

void FrameReader::append(ByteView bytes) {
    if (failed() || bytes.empty()) return;
    if (offset_ > 0 && offset_ >= buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
        offset_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Frame> FrameReader::next() {
    if (failed()) return std::nullopt;
    const std::uint8_t* p = buffer_.data() + offset_;
    const std::size_t have = buffer_.size() - offset_;
    if (have < 2) return std::nullopt;
    const std::uint8_t opcode = p[0] & 0x0F;
    const bool masked = (p[1] & 0x80) != 0;
    const std::uint8_t l7 = p[1] & 0x7F;
    std::size_t header = 2;
    std::uint64_t length = l7;
    if (l7 == 127) {
        if (have < 10) return std::nullopt;
        length = 0;
        for (int i = 2; i < 10; ++i) length = (length << 8) | p[i];
        header = 10;
    } else if (l7 == 126) {
        if (have < 4) return std::nullopt;
        length = (std::uint64_t(p[2]) << 8) | p[3];
        header = 4;
    }
    if (masked) header += 4;
    // Checked before waiting for the payload, so a huge declared length never buffers.
    if (length > std::uint64_t(std::numeric_limits<std::int64_t>::max()) - header) {
        error_ = "frame length overflows";
        return std::nullopt;
    }
    if (length > maxPayload) {
        error_ = "frame of " + std::to_string(length) + " bytes is over the limit";
        return std::nullopt;
    }
    if ((opcode & 0x08) && length > maxControlPayload) {
        error_ = "control frame over 125 bytes";
        return std::nullopt;
    }
    const std::size_t end = header + static_cast<std::size_t>(length);
    if (have < end) return std::nullopt;
    Frame f;
    f.opcode = opcode;
    f.payload.assign(p + header, p + end);
    if (masked) {
        const std::uint8_t* key = p + header - 4;
        for (std::size_t i = 0; i < f.payload.size(); ++i) f.payload[i] ^= key[i % 4];
    }
    offset_ += end;
    if (offset_ == buffer_.size()) {
        // A large frame's room is given back rather than kept for the connection's life.
        if (buffer_.capacity() > 64 * 1024)
            Bytes().swap(buffer_);
        else
            buffer_.clear();
        offset_ = 0;
    }
    return f;
}

}  // namespace orvane::websocket
