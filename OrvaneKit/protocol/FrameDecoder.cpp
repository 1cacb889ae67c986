#include "OrvaneKit/protocol/FrameDecoder.h"

#include <algorithm>
#include <cstring>

#include "OrvaneKit/base/LargeBuffers.h"

namespace orvane {

std::array<std::uint8_t, frameHeaderSize> encodeHeader(std::uint32_t code, std::uint32_t length) {
    std::array<std::uint8_t, frameHeaderSize> h{};
    for (int i = 0; i < 4; ++i) {
        h[i] = static_cast<std::uint8_t>(code >> (24 - 8 * i));
        h[4 + i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
    }
    return h;
}

FrameHeader parseHeader(ByteView bytes) {
    return {readBE32(bytes.data()), readBE32(bytes.data() + 4)};
}

void FrameDecoder::setChannelEstablished(bool established) {
    maxPayload_ = established ? maxPayloadAfterChannel : maxPayloadBeforeChannel;
}

namespace {
// Unparsed input is kept in a buffer of at most this capacity once it has been used up.
constexpr std::size_t keptInputCapacity = 64 * 1024;
// Bytes of a body that must have arrived before its whole announced length is reserved.
constexpr std::size_t wholeBodyAfter = 1 << 20;
}  // namespace

void FrameDecoder::append(ByteView chunk) {
    if (failed() || chunk.empty()) return;
    compact();
    if (current_ && consumed_ == input_.size()) {
        // The body of a frame under way goes straight to its payload, not through the input.
        const std::size_t n = std::min(chunk.size(), current_->length - payload_.size());
        appendPayload(chunk.first(n));
        chunk = chunk.subspan(n);
    }
    input_.insert(input_.end(), chunk.begin(), chunk.end());
}

// The payload's capacity doubles as bytes arrive, and once a first part of a large body is in,
// it takes the whole announced length at once: the body is then written in place exactly once,
// not moved to ever larger buffers. Capacity never exceeds the announced length.
void FrameDecoder::appendPayload(ByteView bytes) {
    if (bytes.empty()) return;
    const std::size_t need = payload_.size() + bytes.size();
    if (need > payload_.capacity()) {
        std::size_t grown = std::max(need, 2 * payload_.capacity());
        if (need >= wholeBodyAfter && current_->length <= maxPayloadAfterChannel)
            grown = current_->length;
        payload_.reserve(std::min<std::size_t>(grown, current_->length));
        // Filled in place right after; a large body has memory of its own.
        if (payload_.capacity() >= largeBufferSize)
            adviseHugePages({payload_.data(), payload_.capacity()});
    }
    payload_.insert(payload_.end(), bytes.begin(), bytes.end());
}

std::size_t FrameDecoder::take(std::uint8_t* dst, std::size_t want) {
    std::size_t n = std::min(want, input_.size() - consumed_);
    if (n) std::memcpy(dst, input_.data() + consumed_, n);
    consumed_ += n;
    return n;
}

void FrameDecoder::compact() {
    if (consumed_ == input_.size()) {
        if (input_.capacity() > keptInputCapacity)
            input_ = Bytes();
        else
            input_.clear();
        consumed_ = 0;
    } else if (consumed_ > 0 && consumed_ >= input_.size() / 2) {
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(consumed_));
        consumed_ = 0;
    }
}

std::optional<Frame> FrameDecoder::next() {
    if (failed()) return std::nullopt;
    if (!current_) {
        headerHave_ += take(header_.data() + headerHave_, frameHeaderSize - headerHave_);
        if (headerHave_ < frameHeaderSize) return std::nullopt;
        headerHave_ = 0;
        FrameHeader h = parseHeader(header_);
        if (h.length > maxPayload_) {
            failedLength_ = h.length;
            input_ = Bytes();
            consumed_ = 0;
            return std::nullopt;
        }
        current_ = h;
        payload_.clear();
    }
    std::size_t want = current_->length - payload_.size();
    std::size_t n = std::min(want, input_.size() - consumed_);
    // Grows with what has arrived, never straight to the announced length.
    appendPayload(ByteView(input_.data() + consumed_, n));
    consumed_ += n;
    if (payload_.size() < current_->length) {
        compact();
        return std::nullopt;
    }
    Frame f{receivedType(current_->code), current_->code, std::move(payload_)};
    payload_ = Bytes();
    current_.reset();
    return f;
}

std::vector<Frame> FrameDecoder::feed(ByteView chunk) {
    append(chunk);
    std::vector<Frame> frames;
    while (auto f = next()) frames.push_back(std::move(*f));
    return frames;
}

}  // namespace orvane
