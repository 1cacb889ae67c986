#pragma once

#include <string>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/protocol/HostStatus.h"
#include "Orvane_Host/session/SlowDiskCache.h"
#include "Orvane_Host/system/HostFacts.h"

namespace orvane {

// Builds the host status that viewers show beside the screen. The app makes one for the whole
// process, so its disk cache is shared by the status tick and every stream start.
class HostStatusBuilder {
public:
    HostStatusBuilder(const HostFacts& facts, const Clock& clock);

    // Callable from any thread, also by two threads at once.
    HostStatus makeHostStatus();

    // 0 "nominal", 1 "fair", 2 "serious", 3 "critical", anything else "unknown".
    static std::string thermalStateText(int state);

private:
    const HostFacts& facts_;
    SlowDiskCache disk_;
};

}  // namespace orvane
