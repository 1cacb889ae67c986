#include "OrvaneKit/media/AudioSpecificConfig.h"

#include "OrvaneKit/media/BitWriter.h"

namespace orvane {

namespace {

constexpr int kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                            22050, 16000, 12000, 11025, 8000,  7350};

class BitReader {
public:
    explicit BitReader(ByteView data) : data_(data) {}
    std::optional<uint32_t> read(int count) {
        if (pos_ + static_cast<size_t>(count) > data_.size() * 8) return std::nullopt;
        uint32_t v = 0;
        for (int i = 0; i < count; ++i, ++pos_)
            v = (v << 1) | ((data_[pos_ / 8] >> (7 - pos_ % 8)) & 1u);
        return v;
    }

private:
    ByteView data_;
    size_t pos_ = 0;
};

void appendDescriptorHeader(Bytes& out, uint8_t tag, size_t length) {
    // Four-byte length form, as the viewers' audio converters write it.
    out.push_back(tag);
    out.push_back(static_cast<uint8_t>(0x80 | ((length >> 21) & 0x7F)));
    out.push_back(static_cast<uint8_t>(0x80 | ((length >> 14) & 0x7F)));
    out.push_back(static_cast<uint8_t>(0x80 | ((length >> 7) & 0x7F)));
    out.push_back(static_cast<uint8_t>(length & 0x7F));
}

struct Descriptor {
    uint8_t tag;
    ByteView body;
};

// Reads one descriptor at the front of `data` and advances past it.
std::optional<Descriptor> readDescriptor(ByteView& data) {
    if (data.empty()) return std::nullopt;
    uint8_t tag = data[0];
    size_t pos = 1, length = 0;
    for (int i = 0; i < 4; ++i) {
        if (pos >= data.size()) return std::nullopt;
        uint8_t b = data[pos++];
        length = (length << 7) | (b & 0x7F);
        if (!(b & 0x80)) break;
        if (i == 3) return std::nullopt;
    }
    if (length > data.size() - pos) return std::nullopt;
    Descriptor d{tag, data.subspan(pos, length)};
    data = data.subspan(pos + length);
    return d;
}

std::optional<ByteView> findDescriptor(ByteView data, uint8_t tag) {
    while (!data.empty()) {
        auto d = readDescriptor(data);
        if (!d) return std::nullopt;
        if (d->tag == tag) return d->body;
    }
    return std::nullopt;
}

}  // namespace

std::optional<AudioSpecificConfig> AudioSpecificConfig::make(double sampleRate, int channels,
                                                             int framesPerPacket) {
    if (channels != 1 && channels != 2) return std::nullopt;
    if (framesPerPacket != 480 && framesPerPacket != 512) return std::nullopt;
    for (int rate : kRates)
        if (sampleRate == rate) return AudioSpecificConfig{rate, channels, framesPerPacket};
    return std::nullopt;
}

Bytes AudioSpecificConfig::serialize() const {
    int index = 0;
    while (index < 12 && kRates[index] != sampleRate) ++index;
    BitWriter w;
    w.write(31, 5);  // object type escape
    w.write(kObjectTypeEld - 32, 6);
    w.write(static_cast<uint32_t>(index), 4);
    w.write(static_cast<uint32_t>(channels), 4);
    w.write(framesPerPacket == 480 ? 1 : 0, 1);
    w.write(0, 3);  // section, scalefactor and spectral data resilience
    w.write(0, 1);  // no low-delay SBR
    w.write(0, 4);  // end of ELD extensions
    w.write(0, 2);  // epConfig
    return w.take();
}

std::optional<AudioSpecificConfig> AudioSpecificConfig::parse(ByteView asc) {
    BitReader r(asc);
    auto type = r.read(5);
    if (!type) return std::nullopt;
    uint32_t objectType = *type;
    if (objectType == 31) {
        auto ext = r.read(6);
        if (!ext) return std::nullopt;
        objectType = 32 + *ext;
    }
    if (objectType != kObjectTypeEld) return std::nullopt;
    auto index = r.read(4);
    if (!index || *index > 12) return std::nullopt;
    auto channels = r.read(4);
    if (!channels || (*channels != 1 && *channels != 2)) return std::nullopt;
    auto frameLength = r.read(1);
    auto resilience = r.read(3);
    auto sbr = r.read(1);
    if (!frameLength || !resilience || *resilience != 0 || !sbr || *sbr != 0) return std::nullopt;
    // Extensions carry their own lengths; skip any we do not use.
    for (;;) {
        auto extType = r.read(4);
        if (!extType) return std::nullopt;
        if (*extType == 0) break;
        auto len = r.read(4);
        if (!len) return std::nullopt;
        uint32_t total = *len;
        if (*len == 15) {
            auto add = r.read(8);
            if (!add) return std::nullopt;
            total += *add;
            if (*add == 255) {
                auto add2 = r.read(16);
                if (!add2) return std::nullopt;
                total += *add2;
            }
        }
        for (uint32_t i = 0; i < total; ++i)
            if (!r.read(8)) return std::nullopt;
    }
    auto epConfig = r.read(2);
    if (!epConfig || *epConfig != 0) return std::nullopt;
    return AudioSpecificConfig{kRates[*index], static_cast<int>(*channels),
                               *frameLength ? 480 : 512};
}

Bytes AudioSpecificConfig::wrapInEsDescriptor(ByteView asc, uint32_t bitRate) {
    Bytes specific;
    appendDescriptorHeader(specific, 0x05, asc.size());
    append(specific, asc);

    Bytes config;
    appendDescriptorHeader(config, 0x04, 13 + specific.size());
    config.push_back(0x40);  // MPEG-4 audio
    config.push_back(0x15);  // audio stream, not upstream, reserved bit set
    config.push_back(0x00);  // decoding buffer size (24 bits)
    appendBE16(config, 1536);
    appendBE32(config, bitRate);  // maximum
    appendBE32(config, bitRate);  // average
    append(config, specific);

    Bytes sl;
    appendDescriptorHeader(sl, 0x06, 1);
    sl.push_back(0x02);  // predefined: MP4 file

    Bytes es;
    appendDescriptorHeader(es, 0x03, 3 + config.size() + sl.size());
    appendBE16(es, 0);  // ES_ID
    es.push_back(0);    // no dependence, URL or OCR stream
    append(es, config);
    append(es, sl);
    return es;
}

std::optional<Bytes> AudioSpecificConfig::fromCookie(ByteView cookie) {
    if (cookie.empty()) return std::nullopt;
    if (cookie[0] != 0x03) return Bytes(cookie.begin(), cookie.end());
    ByteView rest = cookie;
    auto es = readDescriptor(rest);
    if (!es || es->body.size() < 3) return std::nullopt;
    ByteView body = es->body;
    uint8_t flags = body[2];
    size_t skip = 3;
    if (flags & 0x80) skip += 2;  // depends-on ES_ID
    if (flags & 0x40) {           // URL
        if (body.size() <= skip) return std::nullopt;
        skip += 1 + body[skip];
    }
    if (flags & 0x20) skip += 2;  // OCR ES_ID
    if (skip > body.size()) return std::nullopt;
    auto config = findDescriptor(body.subspan(skip), 0x04);
    if (!config || config->size() < 13) return std::nullopt;
    auto specific = findDescriptor(config->subspan(13), 0x05);
    if (!specific) return std::nullopt;
    return Bytes(specific->begin(), specific->end());
}

}  // namespace orvane
