#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace orvane {

// Layout of a captured picture. All are 4:2:0; chroma planes are ceil(w/2) x ceil(h/2) samples.
enum class PixelFormat : uint8_t {
    nv12,       // Y plane, then one plane of interleaved Cb,Cr bytes
    i420,       // Y, Cb, Cr planes, one byte per sample
    yuv420p10,  // Y, Cb, Cr planes, 16-bit little-endian samples holding 10-bit values (low bits)
};

// Samples are limited ("video") range. An encoder takes 8-bit formats as SDR and yuv420p10 as the
// BT.2020/PQ picture of the HDR path.

int planeCount(PixelFormat format);
int bytesPerSample(PixelFormat format);  // 1, or 2 for yuv420p10

// One picture in memory: plane pointers and strides into a single allocation whose rows start on
// 64-byte boundaries (SIMD loads in the encoders and swscale want that). Not copyable; shared by
// std::shared_ptr, which is the reference count: the buffer returns to its pool when the last
// reference goes.
class FrameBuffer {
public:
    // A buffer outside any pool (tests, one-off conversions). Null for a non-positive size.
    static std::shared_ptr<FrameBuffer> make(PixelFormat format, int width, int height);

    FrameBuffer(const FrameBuffer&) = delete;
    FrameBuffer& operator=(const FrameBuffer&) = delete;

    PixelFormat format() const { return format_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int planes() const { return planeCount(format_); }

    uint8_t* data(int plane) { return planeData_[static_cast<size_t>(plane)]; }
    const uint8_t* data(int plane) const { return planeData_[static_cast<size_t>(plane)]; }
    // Bytes from one row to the next.
    int stride(int plane) const { return strides_[static_cast<size_t>(plane)]; }
    // Width of a plane's row in bytes actually used (an NV12 chroma row holds both Cb and Cr).
    int rowBytes(int plane) const;
    // Rows in a plane.
    int planeHeight(int plane) const;

    // Sets every sample to black (Y 16, chroma 128; scaled for 10-bit).
    void fillBlack();

    explicit FrameBuffer(PixelFormat format, int width, int height);  // use make() or a pool

private:
    PixelFormat format_;
    int width_;
    int height_;
    std::array<int, 3> strides_{};
    std::array<uint8_t*, 3> planeData_{};
    std::unique_ptr<uint8_t[], void (*)(uint8_t*)> storage_;
};

// A few buffers of one format and size, reused frame after frame so that capture does not
// allocate per frame. `acquire` hands out a free buffer, or makes a new one while fewer than
// `capacity` exist; when all are in use it returns null and the caller drops that frame (a
// consumer holding every buffer is already behind). Buffers may outlive the pool; they are freed
// then instead of returned. Thread-safe.
class FrameBufferPool {
public:
    FrameBufferPool(PixelFormat format, int width, int height, size_t capacity = 6);
    ~FrameBufferPool();

    FrameBufferPool(const FrameBufferPool&) = delete;
    FrameBufferPool& operator=(const FrameBufferPool&) = delete;

    std::shared_ptr<FrameBuffer> acquire();

    PixelFormat format() const { return format_; }
    int width() const { return width_; }
    int height() const { return height_; }
    size_t capacity() const { return capacity_; }
    size_t inUse() const;  // buffers handed out and not yet released

private:
    struct Shared;
    PixelFormat format_;
    int width_;
    int height_;
    size_t capacity_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace orvane
