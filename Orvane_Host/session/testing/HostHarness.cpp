#include "Orvane_Host/session/testing/HostHarness.h"

namespace orvane {

HostHarness::HostHarness()
    : root(std::filesystem::temp_directory_path() / ("orvane-host-" + Uuid::random().string())) {
    history = std::make_unique<SessionHistory>(root / "SessionHistory.json", rt.clock,
                                               rt.io.get_executor());
}

HostHarness::~HostHarness() {
    rt.drain();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
}

std::shared_ptr<HostController> HostHarness::make() {
    return HostController::make({rt.mainActor, rt.clock, rt.timers, settings, notifier, alerts,
                                 screens, streams, browser, overlays, addresses, *history,
                                 injector, power, pasteboard, actions, files, shareWindows, status,
                                 rt.io.get_executor()});
}

std::shared_ptr<RemoteClient> HostHarness::bareClient(std::optional<std::string> fingerprint) {
    auto c = RemoteClient::make(
        std::make_shared<FakeConnection>(std::move(fingerprint), rt.io.get_executor()), rt.clock,
        screens.mainDisplayID());
    c->address = "192.168.1.30";
    return c;
}

std::shared_ptr<RemoteClient> HostHarness::client(std::string name,
                                                  std::optional<std::string> fingerprint) {
    auto c = bareClient(std::move(fingerprint));
    Hello h;
    h.deviceName = std::move(name);
    h.platform = ClientPlatform::iPhone;
    c->setHello(h);
    return c;
}

}  // namespace orvane
