#include "Orvane_Host/session/CloudCommands.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/net/testing/FakeServiceAdvertiser.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "OrvaneKit/security/testing/FakeIdentity.h"
#include "OrvaneKit/security/testing/MemorySecretStore.h"
#include "Orvane_Host/session/testing/FakeAnywhereAccess.h"
#include "Orvane_Host/session/testing/FakeListenerFactory.h"
#include "Orvane_Host/session/testing/HostHarness.h"
#include "Orvane_Host/system/testing/FakeActionBackends.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

using Posted = RecordingNotifier::Posted;
constexpr const char* oldCode = "ABC-DEF-GHJ-KLM";

// Writes into the shared call log, so their order against the other services shows.
class LoggedSecrets final : public SecretStore {
public:
    LoggedSecrets(MemorySecretStore& store, CallLog& log) : store_(store), log_(log) {}
    ReadResult read(const KeychainItemId& id) override { return store_.read(id); }
    KeychainStatus add(const KeychainItemId& id, const std::string& v, bool sync) override {
        log_.add("keychain.add " + id.account + (sync ? " sync" : " local"));
        return store_.add(id, v, sync);
    }
    KeychainStatus remove(const KeychainItemId& id) override { return store_.remove(id); }
    KeychainStatus replace(const KeychainItemId& id, const std::string& v, bool sync) override {
        log_.add("keychain.replace " + id.account + (sync ? " sync" : " local"));
        return store_.replace(id, v, sync);
    }

private:
    MemorySecretStore& store_;
    CallLog& log_;
};

struct Cloud : ::testing::Test {
    HostHarness h;
    NetContext net{1};
    FakeListenerFactory listeners;
    FakeServiceAdvertiser advertiser;
    FakeIdentity identity{Bytes(32, 3)};
    MemorySecretStore memory;
    LoggedSecrets secrets{memory, h.calls};
    FakeSoundPlayer sound;
    FakeAnywhereAccess anywhere{h.calls};
    std::shared_ptr<HostController> host;

    void SetUp() override {
        listeners.record = [this](std::string c) { h.calls.add(std::move(c)); };
        Keychain::set(oldCode, HostController::accessCodeAccount, HostController::keychainService,
                      true, std::nullopt, memory);
        host = h.make();
        host->setFrontDoor({listeners,
                            advertiser,
                            {&identity.identity(), nullptr, &net},
                            [] { return std::string("Desk"); },
                            0});
        host->setCloud({&sound, &anywhere});
        host->start(secrets);
        listeners.last()->emitReady(40000);
        h.rt.drain();
        sound.onPlay = [this] { h.calls.add("sound.play"); };
    }
    void TearDown() override {
        host.reset();
        h.rt.drain();
    }
};

}  // namespace

TEST_F(Cloud, LockAndDisplayGoThroughThePowerCommands) {
    host->perform(CloudAction::lockScreen, "Ann's iPhone");
    host->perform(CloudAction::sleepDisplay, "Ann's iPhone");
    // The session's lock, with held input let go first; never a shortcut typed into the focus.
    EXPECT_EQ(h.actions.calls(),
              (std::vector<std::string>{"power lockScreen", "power sleepDisplay"}));
    EXPECT_TRUE(h.injector.events.empty());
    EXPECT_EQ(h.notifier.posted(),
              (std::vector<Posted>{{"Lock Screen", "Requested from Ann's iPhone."},
                                   {"Turn Display Off", "Requested from Ann's iPhone."}}));
}

TEST_F(Cloud, DisconnectEveryoneEndsEverySession) {
    host->perform(CloudAction::disconnectAll, "Ann's iPad");
    ASSERT_EQ(h.notifier.posted().size(), 1u);
    EXPECT_EQ(h.notifier.posted()[0],
              (Posted{"Disconnect Everyone", "Requested from Ann's iPad."}));

    auto watching = h.listedClient(*host, "Desk", true);
    auto waiting = h.listedClient(*host, "Stranger", false);
    host->perform(CloudAction::disconnectAll, "Ann's iPad");
    EXPECT_EQ(HostHarness::byeReason(watching), "Disconnected from Ann's iPad.");
    EXPECT_EQ(HostHarness::byeReason(waiting), "Disconnected from Ann's iPad.");
    EXPECT_EQ(h.notifier.posted().back(),
              (Posted{"Disconnect Everyone", "Requested from Ann's iPad."}));
    auto posted = h.notifier.posted();
    EXPECT_EQ(std::count_if(posted.begin(), posted.end(),
                            [](const Posted& p) { return p.title == "Disconnect Everyone"; }),
              2);
}

TEST_F(Cloud, PlaySoundPlaysThreeTimesAfterTheNotification) {
    h.calls.clear();
    host->perform(CloudAction::playSound, "Ann's Mac");
    h.calls.add("notified " + std::to_string(h.notifier.posted().size()));
    h.rt.drain();
    EXPECT_EQ(sound.plays, 0);
    h.rt.advance(0ms);
    EXPECT_EQ(sound.plays, 1);
    h.rt.advance(799ms);
    EXPECT_EQ(sound.plays, 1);
    h.rt.advance(1ms);
    EXPECT_EQ(sound.plays, 2);
    h.rt.advance(800ms);
    EXPECT_EQ(sound.plays, 3);
    h.rt.advance(10s);
    EXPECT_EQ(h.calls.calls(),
              (std::vector<std::string>{"notified 1", "sound.play", "sound.play", "sound.play"}));
    EXPECT_EQ(h.notifier.posted(),
              (std::vector<Posted>{{"Play Sound", "Requested from Ann's Mac."}}));
}

TEST_F(Cloud, NewCodeIsSavedThenSessionsEndThenEveryDoorTakesIt) {
    host->setBrowserAccess(true);
    auto watching = h.listedClient(*host, "Desk", true);
    auto waiting = h.listedClient(*host, "Stranger", false);
    const std::string oldToken = host->iCloudAuthToken();
    listeners.last()->onRekey = [&] {
        h.calls.add("listener.rekey, byes " +
                    std::to_string(!HostHarness::byeReason(watching).empty() +
                                   !HostHarness::byeReason(waiting).empty()));
    };
    h.calls.clear();

    host->perform(CloudAction::newCode, "Ann's iPhone");
    const std::string code = host->accessCode();
    auto callsOf = [&] {
        std::vector<std::string> out;
        for (const auto& c : h.calls.calls())
            for (const char* prefix : {"keychain.", "listener.", "browser.", "anywhere."})
                if (c.rfind(prefix, 0) == 0) out.push_back(c);
        return out;
    };
    std::vector<std::string> want = {
        "keychain.replace host.accessCode sync",
        "keychain.replace host.iCloudToken local",
        "listener.rekey, byes 2",
        "browser.start " + code,
    };
    // The cloud record is written in a task of its own, after the change.
    EXPECT_EQ(callsOf(), want);
    h.rt.drain();
    want.push_back("anywhere.publish");
    EXPECT_EQ(callsOf(), want);

    EXPECT_NE(AccessCode::normalize(code), AccessCode::normalize(oldCode));
    EXPECT_EQ(AccessCode::normalize(code).size(), AccessCode::length);
    EXPECT_EQ(Keychain::read(HostController::accessCodeAccount, HostController::keychainService,
                             std::nullopt, memory),
              code);
    EXPECT_EQ(Keychain::read(HostController::iCloudTokenAccount, HostController::keychainService,
                             std::nullopt, memory),
              host->iCloudAuthToken());
    EXPECT_NE(host->iCloudAuthToken(), oldToken);
    // The working listener keeps its socket and takes the new key: the old code no longer opens
    // a session, the new one does.
    EXPECT_EQ(listeners.made.size(), 1u);
    EXPECT_EQ(listeners.last()->params.tls.key, AccessCode::pskKey(code));
    EXPECT_EQ(HostHarness::byeReason(watching), "The access code was changed.");
    EXPECT_EQ(HostHarness::byeReason(waiting), "The access code was changed.");
    EXPECT_EQ(h.notifier.posted().back(),
              (Posted{"New Access Code", "Requested from Ann's iPhone."}));
    EXPECT_FALSE(host->lastError());

    // Without browser access the browser server is left alone.
    host->setBrowserAccess(false);
    h.calls.clear();
    host->newAccessCode();
    EXPECT_EQ(h.calls.count("browser."), 0u);
}

TEST_F(Cloud, AKeychainThatCannotBeWrittenIsShownAndTheNewCodeStaysInUse) {
    auto sink = std::make_shared<MemoryLogSink>();
    Log::addSink(sink);
    memory.setWriteError(true);
    host->newAccessCode();
    memory.setWriteError(false);
    Log::removeSink(sink);

    const std::string code = host->accessCode();
    EXPECT_NE(code, oldCode);
    EXPECT_EQ(listeners.last()->params.tls.key, AccessCode::pskKey(code));
    EXPECT_EQ(host->lastError(), std::string(CloudCommands::codeNotSavedError));
    EXPECT_EQ(Keychain::read(HostController::accessCodeAccount, HostController::keychainService,
                             std::nullopt, memory),
              oldCode);
    bool logged = false;
    for (const auto& r : sink->records())
        logged = logged ||
                 (r.level == LogLevel::error && r.message.find("keychain") != std::string::npos);
    EXPECT_TRUE(logged);
}

TEST_F(Cloud, StartUpHandsTheCommandsToPerformAndShutdownStopsThem) {
    EXPECT_EQ(h.calls.count("anywhere.start"), 1u);
    ASSERT_TRUE(anywhere.perform());
    anywhere.perform()(CloudAction::disconnectAll, "Owner's iPhone");
    EXPECT_EQ(h.notifier.posted().back(),
              (Posted{"Disconnect Everyone", "Requested from Owner's iPhone."}));

    bool done = false;
    asio::co_spawn(
        h.rt.io,
        [&]() -> asio::awaitable<void> {
            co_await host->shutdown();
            done = true;
        },
        asio::detached);
    for (int i = 0; i < 20 && !done; ++i) h.rt.advance(100ms);
    EXPECT_EQ(h.calls.count("anywhere.stop"), 1u);
    EXPECT_FALSE(anywhere.perform());
}
