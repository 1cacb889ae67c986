#pragma once

#include <optional>
#include <string>

#include "Orvane_Host/capture/SystemAudioSource.h"

namespace orvane {

// System sound through PulseAudio (or PipeWire's PulseAudio service): records the monitor of
// the server's default sink, so what plays on the default output is what we capture.
class PulseSystemAudioSource : public SystemAudioSource {
public:
    // `server`: a PulseAudio server address; none uses the environment's default.
    explicit PulseSystemAudioSource(std::optional<std::string> server = std::nullopt);

    std::unique_ptr<SystemAudioStream> start(Handler onAudio) override;

private:
    std::optional<std::string> server_;
};

}  // namespace orvane
