#pragma once

#include <functional>
#include <memory>

#include "OrvaneKit/base/Errors.h"
#include "OrvaneKit/media/PcmBuffer.h"

namespace orvane {

// A running capture of the system's sound output.
class SystemAudioStream {
public:
    virtual ~SystemAudioStream() = default;
    // Waits until the handler is no longer called. Never throws; safe to call twice; never
    // call it from the handler itself.
    virtual void stop() = 0;
};

// The platform's system sound: what every application plays, as the stand-in for the screen
// capture service's audio output. Sound comes at 48 kHz, 2 channels, 32-bit float planes, in
// chunks of about 10 ms.
class SystemAudioSource {
public:
    static constexpr double kSampleRate = 48000;
    static constexpr uint32_t kChannels = 2;
    static constexpr int kChunkMilliseconds = 10;

    using Handler = std::function<void(PcmBuffer)>;

    virtual ~SystemAudioSource() = default;

    // Starts capturing; `onAudio` runs on the source's own thread, never two at once. Returns
    // once sound can flow; throws PlatformError when it cannot be recorded.
    virtual std::unique_ptr<SystemAudioStream> start(Handler onAudio) = 0;
};

}  // namespace orvane
