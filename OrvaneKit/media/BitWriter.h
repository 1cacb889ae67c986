#pragma once

#include <cstddef>
#include <cstdint>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// Most-significant-bit-first writer for codec bitstreams.
class BitWriter {
public:
    // Writes the low `count` bits of `value` (count 0..32).
    void write(uint32_t value, int count);
    // Zero bits up to the next byte boundary.
    void alignToByte();

    size_t bitCount() const { return bytes_.size() * 8 - (8 - used_) % 8; }
    const Bytes& bytes() const { return bytes_; }
    Bytes take();

private:
    Bytes bytes_;
    int used_ = 8;  // bits used in the last byte; 8 means a new byte is needed
};

}  // namespace orvane
