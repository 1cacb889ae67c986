#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/base/testing/TestRuntime.h"
#include "Orvane_Host/input/testing/FakeInjector.h"
#include "Orvane_Host/session/HostController.h"
#include "Orvane_Host/session/testing/FakeConnection.h"
#include "Orvane_Host/session/testing/FakeNeighbours.h"
#include "Orvane_Host/session/testing/FakeSessionPorts.h"
#include "Orvane_Host/system/testing/FakeFilePicker.h"
#include "Orvane_Host/system/testing/FakeHostFacts.h"
#include "Orvane_Host/system/testing/FakeLoginItem.h"
#include "Orvane_Host/system/testing/FakePasteboard.h"
#include "Orvane_Host/system/testing/FakePowerActions.h"
#include "Orvane_Host/system/testing/FakeScreens.h"
#include "Orvane_Host/system/testing/RecordingNotifier.h"
#include "Orvane_Host/system/testing/ScriptedAlerts.h"

namespace orvane {

// A HostController on fakes, with virtual time and a private history folder.
struct HostHarness {
    TestRuntime rt;
    MemorySettingsStore settings;
    RecordingNotifier notifier;
    ScriptedAlerts alerts;
    FakeScreens screens;
    CallLog calls;
    FakeDisplayStreams streams{calls};
    FakeBrowserServer browser{calls};
    FakeOverlays overlays{calls};
    FakeLocalAddresses addresses;
    FakeInjector injector{calls};
    FakePowerActions power{calls};
    FakePasteboard pasteboard;
    FakeMacActions actions;
    FakeFileMessages files;
    FakeShareWindows shareWindows;
    FakeHostFacts facts;
    HostStatusBuilder status{facts, rt.clock};
    FakeLoginItem loginItem;
    FakeFilePicker filePicker;
    std::filesystem::path root;
    std::unique_ptr<SessionHistory> history;

    HostHarness();
    ~HostHarness();

    std::shared_ptr<HostController> make();
    // The same with another injector and background executor (e.g. real threads).
    std::shared_ptr<HostController> make(InputInjector& injector, asio::any_io_executor background);
    // A connected client with a Hello, not yet authorised and not yet listed.
    std::shared_ptr<RemoteClient> client(std::string name,
                                         std::optional<std::string> fingerprint = std::nullopt);
    // The same, admitted or still waiting, and added to `host`'s clients.
    std::shared_ptr<RemoteClient> listedClient(HostController& host, std::string name,
                                               bool authorized);
    // A connected client that has sent nothing yet; not listed.
    std::shared_ptr<RemoteClient> bareClient(std::optional<std::string> fingerprint = std::nullopt);
    // Runs the main actor until `pred` holds, letting other threads work in between.
    bool pumpUntil(const std::function<bool()>& pred,
                   std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::size_t wrongCodeEntries() const;
    static std::shared_ptr<FakeConnection> connectionOf(const std::shared_ptr<RemoteClient>& c) {
        return std::static_pointer_cast<FakeConnection>(c->connection);
    }
    // The reason of the last bye the host sent the client; "" if none went out.
    static std::string byeReason(const std::shared_ptr<RemoteClient>& c);
};

}  // namespace orvane
