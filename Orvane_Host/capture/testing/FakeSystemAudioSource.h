#pragma once

#include <mutex>
#include <optional>

#include "Orvane_Host/capture/SystemAudioSource.h"

namespace orvane::testing {

// In-memory system sound: tests push buffers, which reach the running stream's handler on the
// pushing thread.
class FakeSystemAudioSource : public SystemAudioSource {
public:
    FakeSystemAudioSource();
    std::unique_ptr<SystemAudioStream> start(Handler onAudio) override;

    // Delivers to the running stream; false when none runs.
    bool push(PcmBuffer buffer);
    bool running() const;
    int startCount() const;
    // The next start throws this.
    void failNextStart(PlatformError error);

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace orvane::testing
