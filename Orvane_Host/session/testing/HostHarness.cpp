#include "Orvane_Host/session/testing/HostHarness.h"

#include <thread>

#include "OrvaneKit/protocol/Json.h"

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
    return make(injector, rt.io.get_executor());
}

std::shared_ptr<HostController> HostHarness::make(InputInjector& inj,
                                                  asio::any_io_executor background) {
    return HostController::make({rt.mainActor, rt.clock,     rt.timers,  settings,
                                 notifier,     alerts,       screens,    streams,
                                 browser,      overlays,     addresses,  *history,
                                 inj,          power,        pasteboard, actions,
                                 files,        shareWindows, status,     std::move(background),
                                 loginItem,    filePicker});
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

std::shared_ptr<RemoteClient> HostHarness::listedClient(HostController& host, std::string name,
                                                        bool authorized) {
    auto c = client(std::move(name));
    c->setAuthorized(authorized);
    auto list = host.clients();
    list.push_back(c);
    host.setClients(std::move(list));
    return c;
}

bool HostHarness::pumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        rt.drain();
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

std::size_t HostHarness::wrongCodeEntries() const {
    std::size_t n = 0;
    for (const auto& e : history->entries()) n += e.kind == SessionHistory::Entry::Kind::wrongCode;
    return n;
}

std::string HostHarness::byeReason(const std::shared_ptr<RemoteClient>& c) {
    auto sent = connectionOf(c)->sent(MessageType::bye);
    if (sent.empty()) return "";
    auto bye = json::decode<Bye>(sent.back().body);
    return bye ? bye->reason : "<bad bye>";
}

}  // namespace orvane
