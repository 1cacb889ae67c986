#include "OrvaneKit/media/BitWriter.h"

#include <algorithm>
#include <utility>

namespace orvane {

void BitWriter::write(uint32_t value, int count) {
    while (count > 0) {
        if (used_ == 8) {
            bytes_.push_back(0);
            used_ = 0;
        }
        int take = std::min(count, 8 - used_);
        uint32_t chunk = (value >> (count - take)) & ((1u << take) - 1u);
        bytes_.back() |= static_cast<uint8_t>(chunk << (8 - used_ - take));
        used_ += take;
        count -= take;
    }
}

void BitWriter::alignToByte() {
    used_ = 8;
}

Bytes BitWriter::take() {
    used_ = 8;
    return std::exchange(bytes_, {});
}

}  // namespace orvane
