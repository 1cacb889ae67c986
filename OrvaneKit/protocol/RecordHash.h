#pragma once

#include <cstddef>
#include <functional>

namespace orvane {

// Hash over several fields, for records that hash over all of them.
inline void hashMix(std::size_t& seed, std::size_t h) {
    seed ^= h + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2);
}

template <class... Ts>
std::size_t hashValues(const Ts&... values) {
    std::size_t seed = 0;
    (hashMix(seed, std::hash<Ts>{}(values)), ...);
    return seed;
}

}  // namespace orvane
