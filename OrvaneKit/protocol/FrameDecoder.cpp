#include "OrvaneKit/protocol/FrameDecoder.h"

#include <algorithm>
#include <cstring>

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

void FrameDecoder::append(ByteView chunk) {
    if (failed() || chunk.empty()) return;
    compact();
    input_.insert(input_.end(), chunk.begin(), chunk.end());
}

std::size_t FrameDecoder::take(std::uint8_t* dst, std::size_t want) {
    std::size_t n = std::min(want, input_.size() - consumed_);
    if (n) std::memcpy(dst, input_.data() + consumed_, n);
    consumed_ += n;
    return n;
}

void FrameDecoder::compact() {
    if (consumed_ == input_.size()) {
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
    std::size_t have = payload_.size();
    std::size_t want = current_->length - have;
    std::size_t n = std::min(want, input_.size() - consumed_);
    if (n) {
        // Grows with what has arrived, never straight to the announced length.
        payload_.resize(have + n);
        take(payload_.data() + have, n);
    }
    if (payload_.size() < current_->length) return std::nullopt;
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
