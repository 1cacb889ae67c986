#pragma once

#include <memory>

#include "Orvane_Host/session/HostController.h"
#include "Orvane_Host/session/testing/HostHarness.h"

namespace orvane {

// Closes every client's connection and waits until the network pool has let go of them, so the
// pool can be destroyed with nothing of ours still queued on it.
void closeAndSettle(std::shared_ptr<HostController>& host, HostHarness& h);

}  // namespace orvane
