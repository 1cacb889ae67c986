#include "Orvane_Host/session/SlowDiskCache.h"

namespace orvane {

DiskCapacity SlowDiskCache::read() {
    std::optional<Cached> copy;
    {
        std::lock_guard lock(mutex_);
        copy = cached_;
    }
    if (copy && clock_.monoNow() - copy->at < maxAge) return copy->capacity;

    // The query stays outside the lock so a slow volume never blocks another reader's copy.
    DiskCapacity fresh = query_ ? query_() : DiskCapacity{};
    const MonoTime at = clock_.monoNow();
    std::lock_guard lock(mutex_);
    cached_ = Cached{fresh, at};
    return fresh;
}

}  // namespace orvane
