#include "OrvaneKit/media/EldBitstream.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace orvane::eld {

namespace {

int escapeBits(int magnitude) {
    if (magnitude < 16) return 0;
    int n = 31 - __builtin_clz(static_cast<unsigned>(magnitude));
    return 2 * n - 3;  // (n - 4) ones, a zero, n bits
}

void writeEscape(BitWriter& out, int magnitude) {
    int n = 31 - __builtin_clz(static_cast<unsigned>(magnitude));
    out.write((1u << (n - 4)) - 1u, n - 4);
    out.write(0, 1);
    out.write(static_cast<uint32_t>(magnitude - (1 << n)), n);
}

void writeChannel(BitWriter& out, const EldFrameData& frame, const EldChannelData& ch,
                  bool singleChannel) {
    out.write(static_cast<uint32_t>(ch.globalGain), 8);
    if (singleChannel) out.write(static_cast<uint32_t>(frame.maxSfb), 6);

    // Section data: runs of equal codebooks, lengths in 5-bit steps with 31 as "continue".
    for (int band = 0; band < frame.maxSfb;) {
        int cb = ch.codebook[band];
        int end = band;
        while (end < frame.maxSfb && ch.codebook[end] == cb) ++end;
        out.write(static_cast<uint32_t>(cb), 4);
        int length = end - band;
        while (length >= 31) {
            out.write(31, 5);
            length -= 31;
        }
        out.write(static_cast<uint32_t>(length), 5);
        band = end;
    }

    int last = ch.globalGain;
    for (int band = 0; band < frame.maxSfb; ++band) {
        if (ch.codebook[band] == 0) continue;
        int index = ch.scalefactor[band] - last + aac::kScalefactorDiffLimit;
        out.write(aac::kScalefactorCodes[index], aac::kScalefactorLengths[index]);
        last = ch.scalefactor[band];
    }

    out.write(0, 1);  // no TNS

    for (int band = 0; band < frame.maxSfb; ++band) {
        int cb = ch.codebook[band];
        if (cb == 0) continue;
        const aac::SpectralCodebook& book = aac::kSpectralCodebooks[cb];
        for (int k = aac::kBandOffsets480[band]; k < aac::kBandOffsets480[band + 1];
             k += book.dimension) {
            const int* v = &ch.spectrum[static_cast<size_t>(k)];
            int index = aac::codebookIndex(book, v);
            out.write(book.codes[index], book.lengths[index]);
            if (!book.isSigned)
                for (int i = 0; i < book.dimension; ++i)
                    if (v[i] != 0) out.write(v[i] < 0 ? 1 : 0, 1);
            if (cb == 11)
                for (int i = 0; i < 2; ++i)
                    if (std::abs(v[i]) >= 16) writeEscape(out, std::abs(v[i]));
        }
    }
}

}  // namespace

int codebookLimit(int codebook) {
    return codebook == 11 ? kMaxQuantised : aac::kSpectralCodebooks[codebook].largestValue;
}

int sectionBits(int length) {
    return 4 + 5 * (length / 31 + 1);
}

namespace {

// Per book and index: codeword length plus the sign bits an unsigned book appends.
struct CostTables {
    std::array<std::array<uint8_t, 289>, 12> cost{};
    CostTables() {
        for (int cb = 1; cb <= 11; ++cb) {
            const aac::SpectralCodebook& book = aac::kSpectralCodebooks[cb];
            int size = 1;
            for (int i = 0; i < book.dimension; ++i) size *= book.modulus;
            for (int index = 0; index < size; ++index) {
                int signs = 0;
                if (!book.isSigned)
                    for (int rest = index, i = 0; i < book.dimension; ++i, rest /= book.modulus)
                        signs += rest % book.modulus != 0;
                cost[static_cast<size_t>(cb)][static_cast<size_t>(index)] =
                    static_cast<uint8_t>(book.lengths[index] + signs);
            }
        }
    }
};

const CostTables& costTables() {
    static const CostTables tables;
    return tables;
}

}  // namespace

int spectralBits(const int* q, int count, int codebook) {
    const uint8_t* cost = costTables().cost[static_cast<size_t>(codebook)].data();
    int bits = 0;
    switch (codebook) {
        case 1:
        case 2:
            for (int k = 0; k < count; k += 4) {
                unsigned a = static_cast<unsigned>(q[k] + 1),
                         b = static_cast<unsigned>(q[k + 1] + 1),
                         c = static_cast<unsigned>(q[k + 2] + 1),
                         d = static_cast<unsigned>(q[k + 3] + 1);
                if ((a | b | c | d) > 2 && (a > 2 || b > 2 || c > 2 || d > 2)) return -1;
                bits += cost[27 * a + 9 * b + 3 * c + d];
            }
            return bits;
        case 3:
        case 4:
            for (int k = 0; k < count; k += 4) {
                int a = std::abs(q[k]), b = std::abs(q[k + 1]), c = std::abs(q[k + 2]),
                    d = std::abs(q[k + 3]);
                if (a > 2 || b > 2 || c > 2 || d > 2) return -1;
                bits += cost[27 * a + 9 * b + 3 * c + d];
            }
            return bits;
        case 5:
        case 6:
            for (int k = 0; k < count; k += 2) {
                unsigned a = static_cast<unsigned>(q[k] + 4),
                         b = static_cast<unsigned>(q[k + 1] + 4);
                if (a > 8 || b > 8) return -1;
                bits += cost[9 * a + b];
            }
            return bits;
        case 7:
        case 8:
        case 9:
        case 10: {
            int limit = codebook <= 8 ? 7 : 12, modulus = limit + 1;
            for (int k = 0; k < count; k += 2) {
                int a = std::abs(q[k]), b = std::abs(q[k + 1]);
                if (a > limit || b > limit) return -1;
                bits += cost[modulus * a + b];
            }
            return bits;
        }
        case 11:
            for (int k = 0; k < count; k += 2) {
                int a = std::abs(q[k]), b = std::abs(q[k + 1]);
                if (a > kMaxQuantised || b > kMaxQuantised) return -1;
                bits +=
                    cost[17 * std::min(a, 16) + std::min(b, 16)] + escapeBits(a) + escapeBits(b);
            }
            return bits;
        default:
            return -1;
    }
}

void writeFrame(BitWriter& out, const EldFrameData& frame) {
    if (frame.channels == 1) {
        writeChannel(out, frame, frame.channel[0], true);
    } else {
        out.write(static_cast<uint32_t>(frame.maxSfb), 6);
        out.write(static_cast<uint32_t>(frame.msMaskPresent), 2);
        if (frame.msMaskPresent == 1)
            for (int band = 0; band < frame.maxSfb; ++band) out.write(frame.msUsed[band], 1);
        writeChannel(out, frame, frame.channel[0], false);
        writeChannel(out, frame, frame.channel[1], false);
    }
    out.alignToByte();
}

}  // namespace orvane::eld
