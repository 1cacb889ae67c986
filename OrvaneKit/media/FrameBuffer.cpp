#include "OrvaneKit/media/FrameBuffer.h"

#include <cstdlib>
#include <cstring>

namespace orvane {

namespace {

constexpr int kAlign = 64;

int alignUp(int n) {
    return (n + kAlign - 1) / kAlign * kAlign;
}

void freeAligned(uint8_t* p) {
    std::free(p);
}

}  // namespace

int planeCount(PixelFormat format) {
    return format == PixelFormat::nv12 ? 2 : 3;
}

int bytesPerSample(PixelFormat format) {
    return format == PixelFormat::yuv420p10 ? 2 : 1;
}

FrameBuffer::FrameBuffer(PixelFormat format, int width, int height)
    : format_(format), width_(width), height_(height), storage_(nullptr, &freeAligned) {
    const int bps = bytesPerSample(format);
    const int cw = (width + 1) / 2;
    const int ch = (height + 1) / 2;
    strides_[0] = alignUp(width * bps);
    if (format == PixelFormat::nv12) {
        strides_[1] = alignUp(cw * 2);
    } else {
        strides_[1] = strides_[2] = alignUp(cw * bps);
    }
    const size_t lumaBytes = static_cast<size_t>(strides_[0]) * static_cast<size_t>(height);
    const size_t chromaBytes = static_cast<size_t>(strides_[1]) * static_cast<size_t>(ch);
    const size_t total = lumaBytes + chromaBytes * static_cast<size_t>(planes() - 1);
    storage_.reset(static_cast<uint8_t*>(std::aligned_alloc(kAlign, total)));
    if (!storage_) throw std::bad_alloc();
    planeData_[0] = storage_.get();
    planeData_[1] = planeData_[0] + lumaBytes;
    if (planes() == 3) planeData_[2] = planeData_[1] + chromaBytes;
}

std::shared_ptr<FrameBuffer> FrameBuffer::make(PixelFormat format, int width, int height) {
    if (width <= 0 || height <= 0) return nullptr;
    return std::make_shared<FrameBuffer>(format, width, height);
}

int FrameBuffer::rowBytes(int plane) const {
    if (plane == 0) return width_ * bytesPerSample(format_);
    const int cw = (width_ + 1) / 2;
    return format_ == PixelFormat::nv12 ? cw * 2 : cw * bytesPerSample(format_);
}

int FrameBuffer::planeHeight(int plane) const {
    return plane == 0 ? height_ : (height_ + 1) / 2;
}

void FrameBuffer::fillBlack() {
    for (int p = 0; p < planes(); ++p) {
        uint8_t* row = data(p);
        const uint16_t value = p == 0 ? 16 : 128;
        for (int y = 0; y < planeHeight(p); ++y, row += stride(p)) {
            if (format_ == PixelFormat::yuv420p10) {
                const uint16_t v10 = static_cast<uint16_t>(value << 2);
                for (int x = 0; x < rowBytes(p) / 2; ++x) {
                    row[2 * x] = static_cast<uint8_t>(v10 & 0xff);
                    row[2 * x + 1] = static_cast<uint8_t>(v10 >> 8);
                }
            } else {
                std::memset(row, value, static_cast<size_t>(rowBytes(p)));
            }
        }
    }
}

struct FrameBufferPool::Shared {
    std::mutex mutex;
    std::vector<std::unique_ptr<FrameBuffer>> idle;
    size_t outstanding = 0;
    size_t created = 0;
    bool open = true;
};

FrameBufferPool::FrameBufferPool(PixelFormat format, int width, int height, size_t capacity)
    : format_(format),
      width_(width),
      height_(height),
      capacity_(capacity),
      shared_(std::make_shared<Shared>()) {}

FrameBufferPool::~FrameBufferPool() {
    std::lock_guard lock(shared_->mutex);
    shared_->open = false;
    shared_->idle.clear();
}

std::shared_ptr<FrameBuffer> FrameBufferPool::acquire() {
    if (width_ <= 0 || height_ <= 0) return nullptr;
    std::unique_ptr<FrameBuffer> buffer;
    {
        std::lock_guard lock(shared_->mutex);
        if (!shared_->idle.empty()) {
            buffer = std::move(shared_->idle.back());
            shared_->idle.pop_back();
        } else if (shared_->created < capacity_) {
            ++shared_->created;
        } else {
            return nullptr;
        }
        ++shared_->outstanding;
    }
    if (!buffer) {
        try {
            buffer = std::make_unique<FrameBuffer>(format_, width_, height_);
        } catch (...) {
            std::lock_guard lock(shared_->mutex);
            --shared_->created;
            --shared_->outstanding;
            throw;
        }
    }
    std::weak_ptr<Shared> weak = shared_;
    return std::shared_ptr<FrameBuffer>(buffer.release(), [weak](FrameBuffer* b) {
        std::unique_ptr<FrameBuffer> owned(b);
        if (auto shared = weak.lock()) {
            std::lock_guard lock(shared->mutex);
            --shared->outstanding;
            if (shared->open) shared->idle.push_back(std::move(owned));
        }
    });
}

size_t FrameBufferPool::inUse() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->outstanding;
}

}  // namespace orvane
