#pragma once

#include <mutex>

#include "Orvane_Host/capture/CursorSource.h"

namespace orvane::testing {

// A pointer the test moves: every tick() reaches the running watches on the calling thread.
class FakeCursorSource final : public CursorSource {
public:
    std::unique_ptr<CursorWatch> watch(std::chrono::nanoseconds interval,
                                       std::function<void(const CursorState&)> onTick) override;

    void set(CursorState state);
    // Hands the current state to every running watch, as one interval passing.
    void tick();
    int watching() const;

private:
    struct Shared {
        std::mutex mutex;
        CursorState state;
        std::vector<std::shared_ptr<std::function<void(const CursorState&)>>> watches;
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace orvane::testing
