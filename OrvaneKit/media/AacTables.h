#pragma once

#include <cstdint>

namespace orvane::aac {

// Scalefactor band layout of a 480-line frame at 48 kHz (and 44.1 kHz): 35 bands.
inline constexpr int kBandCount480 = 35;
extern const uint16_t kBandOffsets480[kBandCount480 + 1];

// Scalefactor differences -60..+60 are coded by index diff + 60.
inline constexpr int kScalefactorDiffLimit = 60;
extern const uint32_t kScalefactorCodes[121];
extern const uint8_t kScalefactorLengths[121];

// One spectral Huffman codebook (1..11). Values are grouped in 4-tuples (books 1-4) or
// pairs (books 5-11); signed books code the sign in the codeword, unsigned books append one
// sign bit per non-zero value. Book 11 codes magnitudes 16 and up through an escape.
struct SpectralCodebook {
    const uint16_t* codes;
    const uint8_t* lengths;
    int dimension;  // 4 or 2
    bool isSigned;
    int largestValue;  // largest magnitude the book codes directly
    int modulus;       // radix of the index: 3, 9, 8, 13 or 17
};

// Index 1..11; index 0 is unused.
extern const SpectralCodebook kSpectralCodebooks[12];

// Index of a tuple in its book; magnitudes for unsigned books, signed values for signed ones.
inline int codebookIndex(const SpectralCodebook& book, const int* values) {
    int offset = book.isSigned ? book.largestValue : 0;
    int index = 0;
    for (int i = 0; i < book.dimension; ++i) {
        int v = book.isSigned ? values[i] : (values[i] < 0 ? -values[i] : values[i]);
        if (v > book.largestValue) v = book.largestValue;  // escape marker of book 11
        index = index * book.modulus + v + offset;
    }
    return index;
}

}  // namespace orvane::aac
