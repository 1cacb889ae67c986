#include "OrvaneKit/media/VideoPacket.h"

namespace orvane {

namespace {
constexpr size_t kHeaderBytes = 9;
}

std::optional<Bytes> VideoPacket::serialize() const {
    if (isKeyframe) {
        if (parameterSets.size() > maxParameterSets) return std::nullopt;
        for (const auto& set : parameterSets) {
            if (set.size() > maxParameterSetBytes) return std::nullopt;
        }
    }
    Bytes out;
    size_t setBytes = 0;
    if (isKeyframe) {
        for (const auto& set : parameterSets) setBytes += 2 + set.size();
    }
    out.reserve(avcc.size() + setBytes + 64);
    out.push_back(static_cast<uint8_t>((isKeyframe ? 1 : 0) | (codec == VideoCodec::hevc ? 2 : 0)));
    appendBE64(out, timestampMicros);
    if (isKeyframe) {
        out.push_back(static_cast<uint8_t>(parameterSets.size()));
        for (const auto& set : parameterSets) {
            appendBE16(out, static_cast<uint16_t>(set.size()));
            out.insert(out.end(), set.begin(), set.end());
        }
    }
    out.insert(out.end(), avcc.begin(), avcc.end());
    return out;
}

std::optional<VideoPacket> VideoPacket::parse(ByteView body) {
    if (body.size() < kHeaderBytes) return std::nullopt;
    VideoPacket packet;
    packet.isKeyframe = (body[0] & 1) != 0;
    packet.codec = (body[0] & 2) != 0 ? VideoCodec::hevc : VideoCodec::h264;
    packet.timestampMicros = readBE64(body.data() + 1);
    size_t offset = kHeaderBytes;
    if (packet.isKeyframe) {
        if (body.size() < kHeaderBytes + 1) return std::nullopt;
        const size_t count = body[offset++];
        packet.parameterSets.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            if (body.size() - offset < 2) return std::nullopt;
            const size_t length = readBE16(body.data() + offset);
            offset += 2;
            if (body.size() - offset < length) return std::nullopt;
            packet.parameterSets.emplace_back(
                body.begin() + static_cast<std::ptrdiff_t>(offset),
                body.begin() + static_cast<std::ptrdiff_t>(offset + length));
            offset += length;
        }
    }
    packet.avcc.assign(body.begin() + static_cast<std::ptrdiff_t>(offset), body.end());
    return packet;
}

}  // namespace orvane
