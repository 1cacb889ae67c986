#include "OrvaneKit/media/AacEldEncoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orvane {

namespace {

constexpr int kBands = aac::kBandCount480;
constexpr int kHeaderBitsPerChannel = 8 + 1;  // global gain, TNS flag
constexpr int kMaxGain = 255;

// 2^(-3 (sf - 180) / 16) for every scalefactor: the quantiser's scale on |X|^(3/4).
const std::array<float, 256> kStepTable = [] {
    std::array<float, 256> t{};
    for (int sf = 0; sf < 256; ++sf)
        t[static_cast<size_t>(sf)] = static_cast<float>(std::exp2(-3.0 * (sf - 180) / 16.0));
    return t;
}();

int bandStart(int b) {
    return aac::kBandOffsets480[b];
}
int bandWidth(int b) {
    return aac::kBandOffsets480[b + 1] - aac::kBandOffsets480[b];
}

// Books worth trying for a band whose largest magnitude is `peak`.
std::pair<int, int> candidateBooks(int peak) {
    if (peak <= 1) return {1, 4};
    if (peak <= 2) return {3, 6};
    if (peak <= 4) return {5, 8};
    if (peak <= 7) return {7, 10};
    if (peak <= 12) return {9, 11};
    return {11, 11};
}

struct BookCost {
    int book = 0;
    int bits = 0;
};

BookCost bestBook(const int* q, int width, int peak) {
    if (peak == 0) return {0, 0};
    auto [first, last] = candidateBooks(peak);
    BookCost best{0, 1 << 30};
    for (int cb = first; cb <= last; ++cb) {
        int bits = eld::spectralBits(q, width, cb);
        if (bits >= 0 && bits < best.bits) best = {cb, bits};
    }
    return best;
}

}  // namespace

struct AacEldEncoder::Choice {
    std::array<std::array<int, kFrameLength>, 2> q{};
    std::array<std::array<int, kBands>, 2> sf{};
    std::array<std::array<uint8_t, kBands>, 2> book{};
    std::array<std::array<int, kBands>, 2> bookBits{};
    int maxSfb = 0;
};

std::unique_ptr<AacEldEncoder> AacEldEncoder::create(int sampleRate, int channels, int bitRate) {
    if (sampleRate != 48000 && sampleRate != 44100) return nullptr;
    if (channels != 1 && channels != 2) return nullptr;
    if (bitRate < 16000 * channels || bitRate > 256000 * channels) return nullptr;
    return std::unique_ptr<AacEldEncoder>(new AacEldEncoder(sampleRate, channels, bitRate));
}

AacEldEncoder::AacEldEncoder(int sampleRate, int channels, int bitRate)
    : channels_(channels),
      bitsPerFrame_(static_cast<int>(static_cast<long long>(bitRate) * kFrameLength / sampleRate)),
      reservoirCap_(4 * bitsPerFrame_),
      history_(static_cast<size_t>(channels), std::vector<float>(EldFilterbank::kSpan, 0.0f)),
      frame_(std::make_unique<EldFrameData>()) {}

void AacEldEncoder::quantise(int gain, Choice& c) const {
    // q = int((|X| / 2^((sf-180)/4))^(3/4) + 0.4054), with the power taken once per line.
    // A band whose loudest line would pass the largest codable value gets its own, coarser
    // scalefactor.
    c.maxSfb = 0;
    for (int ch = 0; ch < channels_; ++ch) {
        const auto& a = magnitude34_[static_cast<size_t>(ch)];
        const auto& x = spectrum_[static_cast<size_t>(ch)];
        auto& q = c.q[static_cast<size_t>(ch)];
        for (int b = 0; b < kBands; ++b) {
            int sf = std::max(gain, bandFloor_[static_cast<size_t>(ch)][static_cast<size_t>(b)]);
            c.sf[static_cast<size_t>(ch)][static_cast<size_t>(b)] = sf;
            float scale = kStepTable[sf];
            int peak = 0;
            for (int k = bandStart(b); k < bandStart(b + 1); ++k) {
                float v = a[static_cast<size_t>(k)] * scale + 0.4054f;
                int m = v >= 16384.0f ? 16384 : static_cast<int>(v);
                peak = std::max(peak, m);
                q[static_cast<size_t>(k)] = x[static_cast<size_t>(k)] < 0 ? -m : m;
            }
            if (peak > eld::kMaxQuantised) {
                c.book[static_cast<size_t>(ch)][static_cast<size_t>(b)] = 255;  // unusable
                continue;
            }
            BookCost cost = bestBook(&q[static_cast<size_t>(bandStart(b))], bandWidth(b), peak);
            c.book[static_cast<size_t>(ch)][static_cast<size_t>(b)] =
                static_cast<uint8_t>(cost.book);
            c.bookBits[static_cast<size_t>(ch)][static_cast<size_t>(b)] = cost.bits;
            if (cost.book != 0) c.maxSfb = std::max(c.maxSfb, b + 1);
        }
    }
}

int AacEldEncoder::countBits(int gain, Choice& c) const {
    quantise(gain, c);
    int bits = channels_ == 2 ? 6 + 2 : 6;
    if (channels_ == 2 && msMaskPresent_ == 1) bits += c.maxSfb;
    for (int ch = 0; ch < channels_; ++ch) {
        const auto& books = c.book[static_cast<size_t>(ch)];
        const auto& sf = c.sf[static_cast<size_t>(ch)];
        bits += kHeaderBitsPerChannel;
        int last = -1;
        for (int b = 0; b < c.maxSfb;) {
            if (books[static_cast<size_t>(b)] == 255) return 1 << 30;
            int end = b;
            while (end < c.maxSfb &&
                   books[static_cast<size_t>(end)] == books[static_cast<size_t>(b)])
                ++end;
            bits += eld::sectionBits(end - b);
            for (int i = b; i < end; ++i) {
                if (books[static_cast<size_t>(i)] == 0) continue;
                int v = sf[static_cast<size_t>(i)];
                if (last < 0) last = v;  // the global gain starts the differences
                bits += aac::kScalefactorLengths[v - last + aac::kScalefactorDiffLimit] +
                        c.bookBits[static_cast<size_t>(ch)][static_cast<size_t>(i)];
                last = v;
            }
            b = end;
        }
        for (int b = c.maxSfb; b < kBands; ++b)
            if (books[static_cast<size_t>(b)] == 255) return 1 << 30;
    }
    return bits;
}

void AacEldEncoder::mergeSections(EldChannelData& ch, int maxSfb) const {
    // Greedy: join neighbouring coded sections while one book for both costs less than the
    // second section header it saves.
    struct Section {
        int start, end, book, bits, peak;
    };
    std::vector<Section> sections;
    for (int b = 0; b < maxSfb;) {
        int end = b;
        while (end < maxSfb &&
               ch.codebook[static_cast<size_t>(end)] == ch.codebook[static_cast<size_t>(b)])
            ++end;
        int book = ch.codebook[static_cast<size_t>(b)];
        int peak = 0;
        for (int k = bandStart(b); k < bandStart(end); ++k)
            peak = std::max(peak, std::abs(ch.spectrum[static_cast<size_t>(k)]));
        int bits = book ? eld::spectralBits(&ch.spectrum[static_cast<size_t>(bandStart(b))],
                                            bandStart(end) - bandStart(b), book)
                        : 0;
        sections.push_back({b, end, book, bits, peak});
        b = end;
    }
    for (;;) {
        int bestGain = 0, bestIndex = -1, bestBookChoice = 0, bestBits = 0;
        for (size_t i = 0; i + 1 < sections.size(); ++i) {
            const Section& l = sections[i];
            const Section& r = sections[i + 1];
            if (l.book == 0 || r.book == 0) continue;
            int peak = std::max(l.peak, r.peak);
            int first = std::max(l.book, r.book);
            // The merged book must code both peaks; try it and its partner.
            first = (first % 2 == 0 && first < 11) ? first - 1 : first;
            for (int cb = first; cb <= std::min(11, first + 1); ++cb) {
                if (eld::codebookLimit(cb) < peak) continue;
                int bits = eld::spectralBits(&ch.spectrum[static_cast<size_t>(bandStart(l.start))],
                                             bandStart(r.end) - bandStart(l.start), cb);
                if (bits < 0) continue;
                int gain = l.bits + r.bits + eld::sectionBits(l.end - l.start) +
                           eld::sectionBits(r.end - r.start) - bits -
                           eld::sectionBits(r.end - l.start);
                if (gain > bestGain) {
                    bestGain = gain;
                    bestIndex = static_cast<int>(i);
                    bestBookChoice = cb;
                    bestBits = bits;
                }
            }
        }
        if (bestIndex < 0) break;
        Section& l = sections[static_cast<size_t>(bestIndex)];
        const Section& r = sections[static_cast<size_t>(bestIndex) + 1];
        l = {l.start, r.end, bestBookChoice, bestBits, std::max(l.peak, r.peak)};
        sections.erase(sections.begin() + bestIndex + 1);
    }
    for (const Section& s : sections)
        for (int b = s.start; b < s.end; ++b)
            ch.codebook[static_cast<size_t>(b)] = static_cast<uint8_t>(s.book);
}

Bytes AacEldEncoder::encodeFrame(const float* const* planes) {
    for (int ch = 0; ch < channels_; ++ch) {
        auto& h = history_[static_cast<size_t>(ch)];
        std::memmove(h.data(), h.data() + kFrameLength,
                     sizeof(float) * (EldFilterbank::kSpan - kFrameLength));
        // Non-finite or wildly out-of-range samples would break the quantiser.
        float* fresh = h.data() + EldFilterbank::kSpan - kFrameLength;
        for (int n = 0; n < kFrameLength; ++n) {
            float v = planes[ch][n];
            fresh[n] = std::isfinite(v) ? std::clamp(v, -8.0f, 8.0f) : 0.0f;
        }
        filterbank_.analyze(h.data(), spectrum_[static_cast<size_t>(ch)].data());
    }

    // M/S per band where it saves bits for the same noise: 4 E_M E_S < E_L E_R.
    msMaskPresent_ = 0;
    msUsed_.fill(false);
    if (channels_ == 2) {
        auto& l = spectrum_[0];
        auto& r = spectrum_[1];
        int used = 0;
        for (int b = 0; b < kBands; ++b) {
            double el = 0, er = 0, em = 0, es = 0;
            for (int k = bandStart(b); k < bandStart(b + 1); ++k) {
                double m = 0.5 * (l[static_cast<size_t>(k)] + r[static_cast<size_t>(k)]);
                double s = 0.5 * (l[static_cast<size_t>(k)] - r[static_cast<size_t>(k)]);
                el += double(l[static_cast<size_t>(k)]) * l[static_cast<size_t>(k)];
                er += double(r[static_cast<size_t>(k)]) * r[static_cast<size_t>(k)];
                em += m * m;
                es += s * s;
            }
            double floor = 1e-10 * bandWidth(b);
            if (4 * (em + floor) * (es + floor) < (el + floor) * (er + floor)) {
                msUsed_[static_cast<size_t>(b)] = true;
                ++used;
                for (int k = bandStart(b); k < bandStart(b + 1); ++k) {
                    float m = 0.5f * (l[static_cast<size_t>(k)] + r[static_cast<size_t>(k)]);
                    float s = 0.5f * (l[static_cast<size_t>(k)] - r[static_cast<size_t>(k)]);
                    l[static_cast<size_t>(k)] = m;
                    r[static_cast<size_t>(k)] = s;
                }
            }
        }
        msMaskPresent_ = used == 0 ? 0 : used == kBands ? 2 : 1;
    }
    for (int ch = 0; ch < channels_; ++ch)
        for (int k = 0; k < kFrameLength; ++k)
            magnitude34_[static_cast<size_t>(ch)][static_cast<size_t>(k)] = std::pow(
                std::fabs(spectrum_[static_cast<size_t>(ch)][static_cast<size_t>(k)]), 0.75f);

    // Per band, the finest scalefactor that keeps every line codable.
    int floorMax = 0;
    for (int ch = 0; ch < channels_; ++ch)
        for (int b = 0; b < kBands; ++b) {
            const auto& a = magnitude34_[static_cast<size_t>(ch)];
            float peak = *std::max_element(a.begin() + bandStart(b), a.begin() + bandStart(b + 1));
            int floor = 0;
            if (peak > 0) {
                floor = static_cast<int>(std::ceil(
                    180.0 + 16.0 / 3.0 * std::log2(peak / (eld::kMaxQuantised + 0.5f - 0.4054f))));
                floor = std::clamp(floor, 0, kMaxGain);
                while (floor < kMaxGain &&
                       peak * kStepTable[static_cast<size_t>(floor)] + 0.4054f >=
                           eld::kMaxQuantised + 1)
                    ++floor;
            }
            bandFloor_[static_cast<size_t>(ch)][static_cast<size_t>(b)] = floor;
            floorMax = std::max(floorMax, floor);
        }
    // Scalefactor differences are limited to 60.
    int minGain = std::max(0, floorMax - aac::kScalefactorDiffLimit);

    int budget = std::min(bitsPerFrame_ + reservoir_ / 2, kMaxPacketBytes * 8 - 8);
    Choice choice;
    int gain;
    if (fixedScalefactor_) {
        gain = std::clamp(*fixedScalefactor_, minGain, kMaxGain);
        while (gain < kMaxGain && countBits(gain, choice) > kMaxPacketBytes * 8 - 8) ++gain;
    } else {
        // Smallest gain (finest quantisation) whose frame fits the budget. Neighbouring frames
        // need similar gains, so bracket the answer from the last one by doubling steps and
        // then halve the bracket.
        auto fits = [&](int g) { return countBits(g, choice) <= budget; };
        int lo, hi;  // fits(hi) holds, fits(lo - 1) does not (or lo == 0)
        int start = std::clamp(lastGain_, minGain, kMaxGain);
        if (fits(start)) {
            hi = start;
            int step = 1;
            lo = std::max(minGain, hi - step);
            while (lo > minGain && fits(lo)) {
                hi = lo;
                step *= 2;
                lo = std::max(minGain, hi - step);
            }
            if (lo == minGain && fits(minGain)) hi = minGain;
        } else {
            lo = start + 1;
            int step = 1;
            hi = std::min(kMaxGain, lo + step);
            while (hi < kMaxGain && !fits(hi)) {
                lo = hi + 1;
                step *= 2;
                hi = std::min(kMaxGain, lo + step);
            }
        }
        while (lo < hi) {
            int mid = (lo + hi) / 2;
            if (fits(mid))
                hi = mid;
            else
                lo = mid + 1;
        }
        gain = hi;
        lastGain_ = gain;
    }
    countBits(gain, choice);

    EldFrameData& f = *frame_;
    f.channels = channels_;
    f.maxSfb = choice.maxSfb;
    f.msMaskPresent = msMaskPresent_;
    f.msUsed = msUsed_;
    for (int ch = 0; ch < channels_; ++ch) {
        EldChannelData& c = f.channel[static_cast<size_t>(ch)];
        c.globalGain = -1;
        for (int b = 0; b < kBands; ++b) {
            uint8_t book = choice.book[static_cast<size_t>(ch)][static_cast<size_t>(b)];
            c.codebook[static_cast<size_t>(b)] = b < choice.maxSfb && book != 255 ? book : 0;
            c.scalefactor[static_cast<size_t>(b)] =
                choice.sf[static_cast<size_t>(ch)][static_cast<size_t>(b)];
            if (c.globalGain < 0 && c.codebook[static_cast<size_t>(b)] != 0)
                c.globalGain = c.scalefactor[static_cast<size_t>(b)];
        }
        if (c.globalGain < 0) c.globalGain = gain;
        c.spectrum = choice.q[static_cast<size_t>(ch)];
        mergeSections(c, choice.maxSfb);
    }
    BitWriter out;
    eld::writeFrame(out, f);
    Bytes packet = out.take();
    reservoir_ = std::clamp(reservoir_ + bitsPerFrame_ - static_cast<int>(packet.size()) * 8, 0,
                            reservoirCap_);
    return packet;
}

}  // namespace orvane
