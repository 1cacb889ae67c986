#include "Orvane_Host/capture/FrameConverter.h"

#include <immintrin.h>
#include <libyuv/scale_argb.h>

#include <stdexcept>

namespace orvane {

namespace {

// BT.709 limited range in Q15; each chroma row sums to zero so greys land exactly on 128.
constexpr int kYR = 5983, kYG = 20127, kYB = 2032;
constexpr int kUR = -3298, kUG = -11094, kUB = 14392;
constexpr int kVR = 14392, kVG = -13072, kVB = -1320;
constexpr int kYOffset = (16 << 15) + (1 << 14);
constexpr int kCOffset = (128 << 15) + (1 << 14);

inline int avg(int a, int b) {
    return (a + b + 1) >> 1;
}

inline uint8_t luma(const uint8_t* p) {
    return static_cast<uint8_t>((kYR * p[2] + kYG * p[1] + kYB * p[0] + kYOffset) >> 15);
}

// One pair of source rows into one or two luma rows and one chroma row, from pixel x0 on.
// Chroma uses the vertical average first, then the horizontal one, both rounding up: the SIMD
// path does the same so that the two agree bit for bit.
void rowPairScalar(const uint8_t* r0, const uint8_t* r1, int x0, int width, uint8_t* y0,
                   uint8_t* y1, uint8_t* u, uint8_t* v, int chromaStep) {
    for (int x = x0; x < width; x += 2) {
        const int x1 = x + 1 < width ? x + 1 : x;
        const uint8_t* a = r0 + 4 * x;
        const uint8_t* b = r0 + 4 * x1;
        const uint8_t* c = r1 + 4 * x;
        const uint8_t* d = r1 + 4 * x1;
        y0[x] = luma(a);
        if (x1 != x) y0[x1] = luma(b);
        if (y1) {
            y1[x] = luma(c);
            if (x1 != x) y1[x1] = luma(d);
        }
        int ch[3];
        for (int k = 0; k < 3; ++k) ch[k] = avg(avg(a[k], c[k]), avg(b[k], d[k]));
        const size_t ci = static_cast<size_t>(x / 2) * static_cast<size_t>(chromaStep);
        u[ci] = static_cast<uint8_t>((kUR * ch[2] + kUG * ch[1] + kUB * ch[0] + kCOffset) >> 15);
        v[ci] = static_cast<uint8_t>((kVR * ch[2] + kVG * ch[1] + kVB * ch[0] + kCOffset) >> 15);
    }
}

// Eight BGRX pixels to eight 32-bit results of the matrix row (cB, cG, cR) plus offset, >> 15.
// Masking splits each pixel into the 16-bit pairs (B, R) and (G, X) that madd multiplies.
__attribute__((target("avx2"))) inline __m256i matrixRow(__m256i px, __m256i br, __m256i g,
                                                         __m256i offset) {
    const __m256i mask = _mm256_set1_epi32(0x00ff00ff);
    const __m256i pairBR = _mm256_and_si256(px, mask);
    const __m256i pairGX = _mm256_and_si256(_mm256_srli_epi32(px, 8), mask);
    __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(pairBR, br), _mm256_madd_epi16(pairGX, g));
    return _mm256_srai_epi32(_mm256_add_epi32(sum, offset), 15);
}

__attribute__((target("avx2"))) inline __m256i coeffs(int low, int high) {
    return _mm256_set1_epi32(static_cast<int>((static_cast<uint32_t>(high) << 16) |
                                              (static_cast<uint32_t>(low) & 0xffff)));
}

// 32 luma samples from four vectors of eight pixels.
__attribute__((target("avx2"))) inline void storeLuma32(uint8_t* dst, const __m256i* px, __m256i br,
                                                        __m256i g, __m256i off) {
    const __m256i a = matrixRow(px[0], br, g, off);
    const __m256i b = matrixRow(px[1], br, g, off);
    const __m256i c = matrixRow(px[2], br, g, off);
    const __m256i d = matrixRow(px[3], br, g, off);
    const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_permutevar8x32_epi32(bytes, order));
}

// The 2x2 averages of 16 columns of two rows, as eight pixels in order.
__attribute__((target("avx2"))) inline __m256i blockAverage(__m256i top0, __m256i top1,
                                                            __m256i bottom0, __m256i bottom1) {
    const __m256 v0 = _mm256_castsi256_ps(_mm256_avg_epu8(top0, bottom0));
    const __m256 v1 = _mm256_castsi256_ps(_mm256_avg_epu8(top1, bottom1));
    const __m256i even = _mm256_castps_si256(_mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m256i odd = _mm256_castps_si256(_mm256_shuffle_ps(v0, v1, _MM_SHUFFLE(3, 1, 3, 1)));
    return _mm256_permute4x64_epi64(_mm256_avg_epu8(even, odd), _MM_SHUFFLE(3, 1, 2, 0));
}

__attribute__((target("avx2"))) int rowPairAvx2(const uint8_t* r0, const uint8_t* r1, int width,
                                                uint8_t* y0, uint8_t* y1, uint8_t* u, uint8_t* v,
                                                bool interleaved) {
    const __m256i yBR = coeffs(kYB, kYR), yG = coeffs(kYG, 0);
    const __m256i uBR = coeffs(kUB, kUR), uG = coeffs(kUG, 0);
    const __m256i vBR = coeffs(kVB, kVR), vG = coeffs(kVG, 0);
    const __m256i yOff = _mm256_set1_epi32(kYOffset), cOff = _mm256_set1_epi32(kCOffset);
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        __m256i top[4], bottom[4];
        for (int i = 0; i < 4; ++i) {
            top[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r0 + 4 * (x + 8 * i)));
            bottom[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(r1 + 4 * (x + 8 * i)));
        }
        storeLuma32(y0 + x, top, yBR, yG, yOff);
        if (y1) storeLuma32(y1 + x, bottom, yBR, yG, yOff);

        const __m256i blockA = blockAverage(top[0], top[1], bottom[0], bottom[1]);
        const __m256i blockB = blockAverage(top[2], top[3], bottom[2], bottom[3]);
        const __m256i uA = matrixRow(blockA, uBR, uG, cOff), uB = matrixRow(blockB, uBR, uG, cOff);
        const __m256i vA = matrixRow(blockA, vBR, vG, cOff), vB = matrixRow(blockB, vBR, vG, cOff);
        if (interleaved) {
            const __m256i pairsA = _mm256_or_si256(uA, _mm256_slli_epi32(vA, 16));
            const __m256i pairsB = _mm256_or_si256(uB, _mm256_slli_epi32(vB, 16));
            const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(pairsA, pairsB),
                                                           _MM_SHUFFLE(3, 1, 2, 0));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(u + x), bytes);
        } else {
            const __m256i bytes =
                _mm256_packus_epi16(_mm256_packs_epi32(uA, uB), _mm256_packs_epi32(vA, vB));
            const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
            const __m256i planar = _mm256_permutevar8x32_epi32(bytes, order);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(u + x / 2), _mm256_castsi256_si128(planar));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(v + x / 2),
                             _mm256_extracti128_si256(planar, 1));
        }
    }
    return x;
}

bool cpuHasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

}  // namespace

bool FrameConverter::hasSimd() {
    return cpuHasAvx2();
}

void FrameConverter::convertUnscaled(const uint8_t* bgrx, int stride, FrameBuffer& out, bool simd) {
    if (out.format() == PixelFormat::yuv420p10)
        throw std::invalid_argument("10-bit output is not produced from a screen grab");
    const bool nv12 = out.format() == PixelFormat::nv12;
    const int width = out.width();
    const int height = out.height();
    const bool useSimd = simd && cpuHasAvx2();
    for (int y = 0; y < height; y += 2) {
        const uint8_t* r0 = bgrx + static_cast<ptrdiff_t>(y) * stride;
        const bool pair = y + 1 < height;
        const uint8_t* r1 = pair ? r0 + stride : r0;
        uint8_t* y0 = out.data(0) + static_cast<ptrdiff_t>(y) * out.stride(0);
        uint8_t* y1 = pair ? y0 + out.stride(0) : nullptr;
        uint8_t* u = out.data(1) + static_cast<ptrdiff_t>(y / 2) * out.stride(1);
        uint8_t* v = nv12 ? u + 1 : out.data(2) + static_cast<ptrdiff_t>(y / 2) * out.stride(2);
        int done = useSimd ? rowPairAvx2(r0, r1, width, y0, y1, u, v, nv12) : 0;
        rowPairScalar(r0, r1, done, width, y0, y1, u, v, nv12 ? 2 : 1);
    }
}

void FrameConverter::convert(const uint8_t* bgrx, int stride, int width, int height,
                             FrameBuffer& out) {
    if (width <= 0 || height <= 0) throw std::invalid_argument("empty source picture");
    const int dw = out.width(), dh = out.height();
    const bool crop = (width == dw || width == dw + 1) && (height == dh || height == dh + 1);
    if (crop) {
        convertUnscaled(bgrx, stride, out);
        return;
    }
    // Scaling the BGRX picture first and converting the smaller one measured faster than
    // converting first and scaling the planes.
    const size_t scaledStride = static_cast<size_t>(dw) * 4;
    scaled_.resize(scaledStride * static_cast<size_t>(dh));
    libyuv::ARGBScale(bgrx, stride, width, height, scaled_.data(), static_cast<int>(scaledStride),
                      dw, dh, libyuv::kFilterBilinear);
    convertUnscaled(scaled_.data(), static_cast<int>(scaledStride), out);
}

}  // namespace orvane
