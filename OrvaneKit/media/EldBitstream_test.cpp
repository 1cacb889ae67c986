#include "OrvaneKit/media/EldBitstream.h"

#include <gtest/gtest.h>

#include <random>

namespace orvane {
namespace {

TEST(EldBitstream, SilentChannelPair) {
    EldFrameData frame;
    BitWriter w;
    eld::writeFrame(w, frame);
    EXPECT_EQ(toHex(w.bytes()), "00643200");
}

TEST(EldBitstream, BitCountsMatchWhatIsWritten) {
    // Per book: random values within its range, written as a one-band frame; the count of
    // the spectral part must equal the bits the writer spent on it.
    std::mt19937 rng(3);
    for (int cb = 1; cb <= 11; ++cb) {
        int limit = cb == 11 ? 300 : eld::codebookLimit(cb);
        std::uniform_int_distribution<int> value(-limit, limit);
        EldFrameData frame;
        frame.channels = 1;
        frame.maxSfb = 1;
        EldChannelData& ch = frame.channel[0];
        ch.globalGain = 120;
        ch.codebook[0] = static_cast<uint8_t>(cb);
        ch.scalefactor[0] = 120;
        for (int k = 0; k < 4; ++k) ch.spectrum[static_cast<size_t>(k)] = value(rng);
        int spectral = eld::spectralBits(ch.spectrum.data(), 4, cb);
        ASSERT_GE(spectral, 0);
        BitWriter w;
        eld::writeFrame(w, frame);
        // gain 8 + max_sfb 6 + section 9 + scalefactor 1 + TNS 1
        EXPECT_EQ(w.bytes().size(), static_cast<size_t>(25 + spectral + 7) / 8) << cb;
        ch.spectrum[0] = limit + 1;
        if (cb != 11) {
            EXPECT_EQ(eld::spectralBits(ch.spectrum.data(), 4, cb), -1);
        }
    }
    int big[2] = {8191, -16};
    EXPECT_EQ(eld::spectralBits(big, 2, 11),
              aac::kSpectralCodebooks[11].lengths[16 * 17 + 16] + 2 + (2 * 12 - 3) + (2 * 4 - 3));
}

// The counting fast path against a count straight from the tables.
TEST(EldBitstream, FastCountsAgreeWithTheTables) {
    auto reference = [](const int* q, int count, int cb) {
        const aac::SpectralCodebook& book = aac::kSpectralCodebooks[cb];
        int bits = 0;
        for (int k = 0; k < count; k += book.dimension) {
            for (int i = 0; i < book.dimension; ++i)
                if (std::abs(q[k + i]) > eld::codebookLimit(cb)) return -1;
            bits += book.lengths[aac::codebookIndex(book, q + k)];
            for (int i = 0; i < book.dimension; ++i) {
                int m = std::abs(q[k + i]);
                if (!book.isSigned && m != 0) ++bits;
                if (cb == 11 && m >= 16) {
                    int n = 0;
                    while ((2 << n) <= m) ++n;
                    bits += 2 * n - 3;
                }
            }
        }
        return bits;
    };
    std::mt19937 rng(9);
    for (int cb = 1; cb <= 11; ++cb)
        for (int trial = 0; trial < 300; ++trial) {
            int range =
                trial % 3 == 0 ? eld::codebookLimit(cb) + 1 : std::min(eld::codebookLimit(cb), 40);
            std::uniform_int_distribution<int> value(-range, range);
            int q[16];
            for (int& v : q) v = trial % 5 == 0 ? 0 : value(rng);
            ASSERT_EQ(eld::spectralBits(q, 16, cb), reference(q, 16, cb)) << cb << " " << trial;
        }
}

TEST(EldBitstream, BitWriterPacksMostSignificantFirst) {
    BitWriter w;
    w.write(0b101, 3);
    w.write(0x1FFFF, 17);
    EXPECT_EQ(w.bitCount(), 20u);
    w.alignToByte();
    EXPECT_EQ(toHex(w.bytes()), "bffff0");
}

}  // namespace
}  // namespace orvane
