#include "OrvaneKit/media/EldBitstream.h"

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

int spectralBits(const int* q, int count, int codebook) {
    const aac::SpectralCodebook& book = aac::kSpectralCodebooks[codebook];
    int limit = codebookLimit(codebook);
    int bits = 0;
    for (int k = 0; k < count; k += book.dimension) {
        for (int i = 0; i < book.dimension; ++i)
            if (std::abs(q[k + i]) > limit) return -1;
        int index = aac::codebookIndex(book, q + k);
        bits += book.lengths[index];
        if (!book.isSigned)
            for (int i = 0; i < book.dimension; ++i) bits += q[k + i] != 0;
        if (codebook == 11) bits += escapeBits(std::abs(q[k])) + escapeBits(std::abs(q[k + 1]));
    }
    return bits;
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
