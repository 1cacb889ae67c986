#include "Orvane_Host/session/testing/SettleClients.h"

#include <chrono>
#include <thread>
#include <vector>

#include "Orvane_Host/session/SecureSessionConnection.h"

namespace orvane {

void closeAndSettle(std::shared_ptr<HostController>& host, HostHarness& h) {
    if (!host) return;
    std::vector<std::weak_ptr<Transport>> links;
    for (const auto& c : host->clients()) {
        if (auto s = std::dynamic_pointer_cast<SecureSessionConnection>(c->connection))
            links.push_back(s->connection()->connection());
        c->connection->cancel();
    }
    host.reset();
    h.streams.lastTargets.clear();  // the fake keeps the last list of clients
    for (int i = 0; i < 2500; ++i) {
        h.rt.drain();
        bool gone = true;
        for (const auto& w : links) gone = gone && w.expired();
        if (gone) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    h.rt.drain();
}

}  // namespace orvane
