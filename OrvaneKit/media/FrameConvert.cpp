#include "OrvaneKit/media/FrameConvert.h"

#include <algorithm>
#include <cstring>

namespace orvane {

namespace {

// Reads sample x of a row at the source depth and returns it at 10 bits or 8 bits.
inline uint16_t load(const uint8_t* row, int x, bool tenBit) {
    return tenBit ? static_cast<uint16_t>(row[2 * x] | (row[2 * x + 1] << 8)) : row[x];
}

inline void store(uint8_t* row, int x, bool tenBit, uint16_t v) {
    if (tenBit) {
        row[2 * x] = static_cast<uint8_t>(v);
        row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
    } else {
        row[x] = static_cast<uint8_t>(v);
    }
}

inline uint16_t rescale(uint16_t v, bool fromTen, bool toTen) {
    if (fromTen == toTen) return v;
    if (toTen) return static_cast<uint16_t>(v << 2);
    return static_cast<uint16_t>(std::min<int>((v + 2) >> 2, 255));
}

// One plane of samples; `step`/`offset` pick Cb or Cr out of an interleaved NV12 row.
struct PlaneRef {
    const uint8_t* data;
    int stride;
    int step;
    int offset;
};

void copyPlane(PlaneRef s, bool fromTen, uint8_t* d, int dstride, int dstep, int doffset,
               bool toTen, int width, int height) {
    for (int y = 0; y < height; ++y) {
        const uint8_t* srow = s.data + static_cast<ptrdiff_t>(y) * s.stride;
        uint8_t* drow = d + static_cast<ptrdiff_t>(y) * dstride;
        if (s.step == 1 && dstep == 1 && fromTen == toTen) {
            std::memcpy(drow, srow, static_cast<size_t>(width) * (toTen ? 2 : 1));
            continue;
        }
        if (!fromTen && !toTen) {  // NV12 chroma split or merge: the common case, kept tight
            const uint8_t* sp = srow + s.offset;
            uint8_t* dp = drow + doffset;
            for (int x = 0; x < width; ++x) dp[x * dstep] = sp[x * s.step];
            continue;
        }
        for (int x = 0; x < width; ++x) {
            const uint16_t v = load(srow, x * s.step + s.offset, fromTen);
            store(drow, x * dstep + doffset, toTen, rescale(v, fromTen, toTen));
        }
    }
}

}  // namespace

bool convertFrame(const FrameBuffer& src, FrameBuffer& dst) {
    if (src.width() != dst.width() || src.height() != dst.height()) return false;
    const bool fromTen = src.format() == PixelFormat::yuv420p10;
    const bool toTen = dst.format() == PixelFormat::yuv420p10;
    const int w = src.width();
    const int h = src.height();
    const int cw = (w + 1) / 2;
    const int ch = (h + 1) / 2;
    copyPlane({src.data(0), src.stride(0), 1, 0}, fromTen, dst.data(0), dst.stride(0), 1, 0, toTen,
              w, h);
    for (int c = 0; c < 2; ++c) {
        PlaneRef s = src.format() == PixelFormat::nv12
                         ? PlaneRef{src.data(1), src.stride(1), 2, c}
                         : PlaneRef{src.data(1 + c), src.stride(1 + c), 1, 0};
        if (dst.format() == PixelFormat::nv12) {
            copyPlane(s, fromTen, dst.data(1), dst.stride(1), 2, c, toTen, cw, ch);
        } else {
            copyPlane(s, fromTen, dst.data(1 + c), dst.stride(1 + c), 1, 0, toTen, cw, ch);
        }
    }
    return true;
}

}  // namespace orvane
