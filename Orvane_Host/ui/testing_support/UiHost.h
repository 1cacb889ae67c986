#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneKit/net/testing/FakeServiceAdvertiser.h"
#include "OrvaneKit/security/Keychain.h"
#include "OrvaneKit/security/testing/FakeIdentity.h"
#include "OrvaneKit/security/testing/MemorySecretStore.h"
#include "Orvane_Host/session/testing/FakeListenerFactory.h"
#include "Orvane_Host/session/testing/HostHarness.h"
#include "Orvane_Host/ui/HostModel.h"
#include "Orvane_Host/ui/testing_support/QtTestApp.h"

namespace orvane {

// What the windows' offscreen tests stand on: a real controller on the session fakes, started
// with `code`, its listener ready, the model over it, and a scratch folder. A test fixture
// derives from it, calls startHost() before making its window and stopHost() after dropping it.
struct UiHost {
    static constexpr const char* code = "ABC-DEF-GHJ-KLM";

    HostHarness h;
    NetContext net{1};
    FakeListenerFactory listeners;
    FakeServiceAdvertiser advertiser;
    FakeIdentity identity{Bytes(32, 3)};
    MemorySecretStore secrets;
    std::shared_ptr<HostController> host;
    std::unique_ptr<HostModel> model;
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("orvane-ui-" + Uuid::random().string());

    void startHost() {
        QtTestApp::ensure();
        std::filesystem::create_directories(folder);
        Keychain::set(code, HostController::accessCodeAccount, HostController::keychainService,
                      true, std::nullopt, secrets);
        host = h.make();
        host->setFrontDoor({listeners,
                            advertiser,
                            {&identity.identity(), nullptr, &net},
                            [] { return std::string("Desk"); },
                            0});
        host->start(secrets);
        listeners.last()->emitReady(40000);
        model = std::make_unique<HostModel>(*host);
    }
    void stopHost() {
        model.reset();
        host.reset();
        h.rt.drain();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    // Runs the main actor and Qt's loop, deferred deletions too, until both are idle.
    void settle() {
        for (int i = 0; i < 4; ++i) {
            h.rt.drain();
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }
    // A client added to the controller's list, let in or still waiting.
    std::shared_ptr<RemoteClient> listed(std::string name, bool authorized,
                                         std::optional<std::string> fingerprint = std::nullopt) {
        auto c = h.client(std::move(name), std::move(fingerprint));
        c->setAuthorized(authorized);
        auto list = host->clients();
        list.push_back(c);
        host->setClients(std::move(list));
        return c;
    }
};

}  // namespace orvane
