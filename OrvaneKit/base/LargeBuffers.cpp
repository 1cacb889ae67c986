#include "OrvaneKit/base/LargeBuffers.h"

#include <malloc.h>
#include <sys/mman.h>

namespace orvane {

void returnLargeBuffersToSystem() {
    // Fixing either value turns the allocator's own adjustment off; freed space above the trim
    // threshold at the top of a heap goes back too.
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(largeBufferSize));
    mallopt(M_TRIM_THRESHOLD, static_cast<int>(largeBufferSize));
}

void returnFreeMemoryToSystem() {
    malloc_trim(0);
}

void adviseHugePages(std::span<std::uint8_t> buffer) {
    constexpr std::uintptr_t huge = std::uintptr_t{2} << 20;
    const auto begin = reinterpret_cast<std::uintptr_t>(buffer.data());
    const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
    const std::uintptr_t last = (begin + buffer.size()) & ~(huge - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace orvane
