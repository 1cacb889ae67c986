#include "OrvaneKit/media/VideoDepacketizer.h"

#include <algorithm>

namespace orvane {
namespace {

// Reads the bits of a NAL unit's payload with emulation-prevention bytes removed. Reading past
// the end sets `failed` and yields zeros, so a parser checks once at the end.
class BitReader {
public:
    explicit BitReader(ByteView nal, size_t headerBytes) {
        rbsp_.reserve(nal.size());
        int zeros = 0;
        for (size_t i = headerBytes; i < nal.size(); ++i) {
            if (zeros >= 2 && nal[i] == 0x03) {
                zeros = 0;
                continue;
            }
            zeros = nal[i] == 0 ? zeros + 1 : 0;
            rbsp_.push_back(nal[i]);
        }
    }

    uint32_t bits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 1) | bit();
        return v;
    }
    void skip(size_t n) {
        for (size_t i = 0; i < n && !failed; ++i) bit();
    }
    // Exp-Golomb; values beyond 32 bits are treated as corrupt.
    uint32_t ue() {
        int zeros = 0;
        while (!failed && bit() == 0) {
            if (++zeros > 31) {
                failed = true;
                return 0;
            }
        }
        if (zeros == 0) return 0;
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + bits(zeros));
    }
    int32_t se() {
        uint32_t k = ue();
        return k & 1 ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }

    bool failed = false;

private:
    uint32_t bit() {
        if (pos_ >= rbsp_.size() * 8) {
            failed = true;
            return 0;
        }
        uint32_t b = (rbsp_[pos_ / 8] >> (7 - pos_ % 8)) & 1;
        ++pos_;
        return b;
    }

    Bytes rbsp_;
    size_t pos_ = 0;
};

std::optional<VideoSize> checkedSize(int64_t width, int64_t height) {
    if (width <= 0 || height <= 0 || width > kMaxVideoDimension || height > kMaxVideoDimension)
        return std::nullopt;
    return VideoSize{static_cast<int>(width), static_cast<int>(height)};
}

void skipH264ScalingList(BitReader& r, int size) {
    int32_t last = 8, next = 8;
    for (int j = 0; j < size && !r.failed; ++j) {
        if (next != 0) {
            int32_t delta = r.se();
            if (delta < -128 || delta > 127) {
                r.failed = true;
                return;
            }
            next = (last + delta + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

void skipHevcProfileTierLevel(BitReader& r, uint32_t maxSubLayersMinus1) {
    r.skip(88);  // general profile space, tier, profile, compatibility and constraint flags
    r.skip(8);   // general level
    bool profilePresent[8] = {}, levelPresent[8] = {};
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = r.bits(1);
        levelPresent[i] = r.bits(1);
    }
    if (maxSubLayersMinus1 > 0)
        for (uint32_t i = maxSubLayersMinus1; i < 8; ++i) r.skip(2);
    for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
        if (profilePresent[i]) r.skip(88);
        if (levelPresent[i]) r.skip(8);
    }
}

int nalType(const Bytes& set, VideoCodec codec) {
    if (set.empty()) return -1;
    return codec == VideoCodec::hevc ? (set[0] >> 1) & 0x3F : set[0] & 0x1F;
}

}  // namespace

std::optional<VideoSize> parseH264SpsSize(ByteView nal) {
    if (nal.empty() || (nal[0] & 0x1F) != 7) return std::nullopt;
    BitReader r(nal, 1);
    uint32_t profile = r.bits(8);
    r.skip(16);  // constraint flags, level
    r.ue();      // seq_parameter_set_id
    uint32_t chroma = 1;
    bool separatePlanes = false;
    static constexpr uint32_t kHighProfiles[] = {100, 110, 122, 244, 44,  83, 86,
                                                 118, 128, 138, 139, 134, 135};
    if (std::find(std::begin(kHighProfiles), std::end(kHighProfiles), profile) !=
        std::end(kHighProfiles)) {
        chroma = r.ue();
        if (chroma > 3) return std::nullopt;
        if (chroma == 3) separatePlanes = r.bits(1);
        r.ue();           // bit depth luma
        r.ue();           // bit depth chroma
        r.skip(1);        // qpprime_y_zero_transform_bypass
        if (r.bits(1)) {  // scaling matrices present
            int lists = chroma == 3 ? 12 : 8;
            for (int i = 0; i < lists && !r.failed; ++i)
                if (r.bits(1)) skipH264ScalingList(r, i < 6 ? 16 : 64);
        }
    }
    r.ue();  // log2_max_frame_num_minus4
    uint32_t pocType = r.ue();
    if (pocType == 0) {
        r.ue();
    } else if (pocType == 1) {
        r.skip(1);
        r.se();
        r.se();
        uint32_t cycle = r.ue();
        if (cycle > 255) return std::nullopt;
        for (uint32_t i = 0; i < cycle && !r.failed; ++i) r.se();
    } else if (pocType != 2) {
        return std::nullopt;
    }
    r.ue();     // max_num_ref_frames
    r.skip(1);  // gaps_in_frame_num_allowed
    int64_t widthMbs = int64_t{r.ue()} + 1;
    int64_t heightUnits = int64_t{r.ue()} + 1;
    bool frameMbsOnly = r.bits(1);
    if (!frameMbsOnly) r.skip(1);
    r.skip(1);  // direct_8x8_inference
    int64_t cropL = 0, cropR = 0, cropT = 0, cropB = 0;
    if (r.bits(1)) {
        cropL = r.ue();
        cropR = r.ue();
        cropT = r.ue();
        cropB = r.ue();
    }
    if (r.failed) return std::nullopt;
    int64_t heightFactor = frameMbsOnly ? 1 : 2;
    int64_t cropX = 1, cropY = heightFactor;
    if (chroma != 0 && !separatePlanes) {
        cropX = chroma == 3 ? 1 : 2;
        cropY = (chroma == 1 ? 2 : 1) * heightFactor;
    }
    int64_t width = widthMbs * 16 - cropX * (cropL + cropR);
    int64_t height = heightFactor * heightUnits * 16 - cropY * (cropT + cropB);
    return checkedSize(width, height);
}

std::optional<VideoSize> parseHevcSpsSize(ByteView nal) {
    if (nal.size() < 2 || ((nal[0] >> 1) & 0x3F) != 33) return std::nullopt;
    BitReader r(nal, 2);
    r.skip(4);  // video_parameter_set_id
    uint32_t maxSubLayersMinus1 = r.bits(3);
    if (maxSubLayersMinus1 > 6) return std::nullopt;
    r.skip(1);  // temporal_id_nesting
    skipHevcProfileTierLevel(r, maxSubLayersMinus1);
    r.ue();  // seq_parameter_set_id
    uint32_t chroma = r.ue();
    if (chroma > 3) return std::nullopt;
    bool separatePlanes = chroma == 3 && r.bits(1);
    int64_t width = r.ue();
    int64_t height = r.ue();
    if (r.bits(1)) {  // conformance window
        int64_t subW = 1, subH = 1;
        if (!separatePlanes && (chroma == 1 || chroma == 2)) subW = 2;
        if (!separatePlanes && chroma == 1) subH = 2;
        int64_t l = r.ue(), rt = r.ue(), t = r.ue(), b = r.ue();
        width -= subW * (l + rt);
        height -= subH * (t + b);
    }
    if (r.failed) return std::nullopt;
    return checkedSize(width, height);
}

Bytes VideoFormat::annexBParameterSets() const {
    Bytes out;
    for (const auto& set : parameterSets) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), set.begin(), set.end());
    }
    return out;
}

std::optional<Bytes> avccToAnnexB(ByteView avcc) {
    Bytes out;
    out.reserve(avcc.size());
    size_t pos = 0;
    while (pos < avcc.size()) {
        if (avcc.size() - pos < 4) return std::nullopt;
        uint32_t length = uint32_t{avcc[pos]} << 24 | uint32_t{avcc[pos + 1]} << 16 |
                          uint32_t{avcc[pos + 2]} << 8 | avcc[pos + 3];
        pos += 4;
        if (length == 0 || length > avcc.size() - pos) return std::nullopt;
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), avcc.begin() + pos, avcc.begin() + pos + length);
        pos += length;
    }
    return out;
}

std::optional<VideoFormat> VideoDepacketizer::makeFormat(const std::vector<Bytes>& parameterSets,
                                                         VideoCodec codec) {
    if (parameterSets.empty()) return std::nullopt;
    const bool hevc = codec == VideoCodec::hevc;
    std::optional<VideoSize> size;
    bool havePps = false, haveVps = false;
    for (const auto& set : parameterSets) {
        int type = nalType(set, codec);
        if (hevc ? type == 33 : type == 7) {
            auto parsed = hevc ? parseHevcSpsSize(set) : parseH264SpsSize(set);
            if (!parsed) return std::nullopt;
            if (!size) size = parsed;
        }
        havePps |= hevc ? type == 34 : type == 8;
        haveVps |= type == 32;
    }
    if (!size || !havePps || (hevc && !haveVps)) return std::nullopt;
    return VideoFormat{codec, *size, parameterSets};
}

std::optional<CompressedSample> VideoDepacketizer::sampleBuffer(const VideoPacket& packet) {
    if (packet.isKeyframe && !packet.parameterSets.empty()) {
        if (auto format = makeFormat(packet.parameterSets, packet.codec)) {
            if (!format_ || *format_ != *format)
                format_ = std::make_shared<const VideoFormat>(std::move(*format));
        }
    }
    if (!format_ || packet.avcc.empty() || packet.timestampMicros >= kTimeLimitMicros)
        return std::nullopt;
    // A frame of another codec cannot be read with this format.
    if (packet.codec != format_->codec) return std::nullopt;
    auto annexB = avccToAnnexB(packet.avcc);
    if (!annexB) return std::nullopt;
    return CompressedSample{format_, static_cast<int64_t>(packet.timestampMicros),
                            packet.isKeyframe, std::move(*annexB)};
}

std::optional<VideoSize> VideoDepacketizer::videoSize() const {
    if (!format_) return std::nullopt;
    return format_->size;
}

}  // namespace orvane
