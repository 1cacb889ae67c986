#include "Orvane_Host/capture/testing/FakeCursorSource.h"

#include <algorithm>

namespace orvane::testing {

namespace {

class Watch final : public CursorWatch {
public:
    Watch(std::weak_ptr<void> shared, std::function<void()> remove)
        : shared_(std::move(shared)), remove_(std::move(remove)) {}
    ~Watch() override { stop(); }
    void stop() override {
        if (remove_ && !shared_.expired()) remove_();
        remove_ = nullptr;
    }

private:
    std::weak_ptr<void> shared_;
    std::function<void()> remove_;
};

}  // namespace

std::unique_ptr<CursorWatch> FakeCursorSource::watch(
    std::chrono::nanoseconds, std::function<void(const CursorState&)> onTick) {
    auto handler = std::make_shared<std::function<void(const CursorState&)>>(std::move(onTick));
    CursorState now;
    {
        std::lock_guard g(shared_->mutex);
        shared_->watches.push_back(handler);
        now = shared_->state;
    }
    (*handler)(now);
    std::weak_ptr<Shared> weak = shared_;
    return std::make_unique<Watch>(shared_, [weak, handler] {
        if (auto s = weak.lock()) {
            std::lock_guard g(s->mutex);
            auto& w = s->watches;
            w.erase(std::remove(w.begin(), w.end(), handler), w.end());
        }
    });
}

void FakeCursorSource::set(CursorState state) {
    std::lock_guard g(shared_->mutex);
    shared_->state = std::move(state);
}

void FakeCursorSource::tick() {
    std::vector<std::shared_ptr<std::function<void(const CursorState&)>>> watches;
    CursorState now;
    {
        std::lock_guard g(shared_->mutex);
        watches = shared_->watches;
        now = shared_->state;
    }
    for (auto& w : watches) (*w)(now);
}

int FakeCursorSource::watching() const {
    std::lock_guard g(shared_->mutex);
    return static_cast<int>(shared_->watches.size());
}

}  // namespace orvane::testing
