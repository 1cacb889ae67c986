#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "OrvaneKit/net/testing/FakeServiceAdvertiser.h"
#include "OrvaneKit/security/testing/FakeIdentity.h"
#include "Orvane_Host/session/HostController.h"
#include "Orvane_Host/session/TlsSessionListenerFactory.h"
#include "Orvane_Host/session/testing/HostHarness.h"

namespace orvane {

// A host on fakes whose front door is the real TLS listener on loopback.
struct LoopbackFrontDoor {
    HostHarness h;
    NetContext net{2};
    TlsSessionListenerFactory factory{net, "127.0.0.1"};
    FakeServiceAdvertiser advertiser;
    FakeIdentity identity{Bytes(32, 5)};
    std::shared_ptr<HostController> host;

    // Makes the host with `code` and starts its listener as `machine` on `port` (0: any).
    void open(const std::string& code, std::string machine, std::uint16_t port = 0) {
        host = h.make();
        host->setAccessCode(code);
        host->setFrontDoor({factory,
                            advertiser,
                            {&identity.identity(), nullptr, &net},
                            [machine = std::move(machine)] { return machine; },
                            port});
        host->frontDoor().start();
    }
};

}  // namespace orvane
