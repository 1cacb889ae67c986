#include "Orvane_Host/capture/testing/FakeSystemAudioSource.h"

#include <utility>

namespace orvane::testing {

struct FakeSystemAudioSource::State {
    mutable std::mutex lock;
    std::mutex deliver;  // held while a handler runs, so stop can wait for it
    Handler handler;
    int starts = 0;
    std::optional<PlatformError> failure;
};

namespace {

class FakeStream : public SystemAudioStream {
public:
    explicit FakeStream(std::shared_ptr<void> owner, std::function<void()> onStop)
        : owner_(std::move(owner)), onStop_(std::move(onStop)) {}
    ~FakeStream() override { stop(); }
    void stop() override {
        if (onStop_) std::exchange(onStop_, nullptr)();
    }

private:
    std::shared_ptr<void> owner_;
    std::function<void()> onStop_;
};

}  // namespace

FakeSystemAudioSource::FakeSystemAudioSource() : state_(std::make_shared<State>()) {}

std::unique_ptr<SystemAudioStream> FakeSystemAudioSource::start(Handler onAudio) {
    std::lock_guard g(state_->lock);
    if (state_->failure) {
        PlatformError e = *state_->failure;
        state_->failure.reset();
        throw e;
    }
    ++state_->starts;
    state_->handler = std::move(onAudio);
    auto state = state_;
    return std::make_unique<FakeStream>(state, [state] {
        std::lock_guard d(state->deliver);
        std::lock_guard g(state->lock);
        state->handler = nullptr;
    });
}

bool FakeSystemAudioSource::push(PcmBuffer buffer) {
    std::lock_guard d(state_->deliver);
    Handler handler;
    {
        std::lock_guard g(state_->lock);
        handler = state_->handler;
    }
    if (!handler) return false;
    handler(std::move(buffer));
    return true;
}

bool FakeSystemAudioSource::running() const {
    std::lock_guard g(state_->lock);
    return static_cast<bool>(state_->handler);
}

int FakeSystemAudioSource::startCount() const {
    std::lock_guard g(state_->lock);
    return state_->starts;
}

void FakeSystemAudioSource::failNextStart(PlatformError error) {
    std::lock_guard g(state_->lock);
    state_->failure = std::move(error);
}

}  // namespace orvane::testing
