#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvane {

// Buffers of this size and more (large message bodies) get memory of their own from the system.
inline constexpr std::size_t largeBufferSize = std::size_t{4} << 20;

// Process-wide, once at start-up before other threads: large buffers are mapped from the system
// and handed back when freed. Left to itself the allocator raises that threshold after the first
// large free and keeps later ones in its heaps, so one large message would leave the process at
// its peak resident size.
void returnLargeBuffersToSystem();

// Hands every free page in the allocator's heaps back to the system, not only those at a heap's
// top. Many connections that came and went leave their memory free but resident, scattered
// between what lives on. Takes the heaps' locks while it runs: call it now and then, off any
// thread that must answer quickly.
void returnFreeMemoryToSystem();

// Asks for huge pages under the whole 2 MiB pages inside `buffer`, so that filling a large
// buffer costs a few page faults instead of one per 4 KiB. Advice only; failures are ignored.
void adviseHugePages(std::span<std::uint8_t> buffer);

}  // namespace orvane
