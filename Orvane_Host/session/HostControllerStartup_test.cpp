#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "OrvaneKit/net/testing/FakeServiceAdvertiser.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "OrvaneKit/security/testing/FakeIdentity.h"
#include "OrvaneKit/security/testing/MemorySecretStore.h"
#include "Orvane_Host/session/testing/FakeListenerFactory.h"
#include "Orvane_Host/session/testing/HostHarness.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

// Records keychain reads and writes into the shared call log.
class RecordingSecrets final : public SecretStore {
public:
    RecordingSecrets(MemorySecretStore& store, CallLog& log) : store_(store), log_(log) {}
    ReadResult read(const KeychainItemId& id) override {
        log_.add("keychain.read " + id.account);
        return store_.read(id);
    }
    KeychainStatus add(const KeychainItemId& id, const std::string& v, bool sync) override {
        log_.add("keychain.add " + id.account + (sync ? " sync" : " local"));
        return store_.add(id, v, sync);
    }
    KeychainStatus remove(const KeychainItemId& id) override {
        log_.add("keychain.remove " + id.account);
        return store_.remove(id);
    }
    KeychainStatus replace(const KeychainItemId& id, const std::string& v, bool sync) override {
        log_.add("keychain.replace " + id.account + (sync ? " sync" : " local"));
        return store_.replace(id, v, sync);
    }

private:
    MemorySecretStore& store_;
    CallLog& log_;
};

std::optional<std::string> stored(MemorySecretStore& s, const char* account) {
    auto r = Keychain::readChecked(account, HostController::keychainService, std::nullopt, s);
    if (r.status != KeychainStatus::success) return std::nullopt;
    return r.value;
}

struct StartupTest : ::testing::Test {
    HostHarness h;
    NetContext net{1};
    FakeListenerFactory listeners;
    FakeServiceAdvertiser advertiser;
    FakeIdentity identity{Bytes(32, 3)};
    MemorySecretStore memory;
    RecordingSecrets secrets{memory, h.calls};
    std::shared_ptr<HostController> host;

    void SetUp() override {
        listeners.record = [this](std::string c) { h.calls.add(std::move(c)); };
        advertiser.onCall = [this](const std::string& c) { h.calls.add("advertiser." + c); };
    }
    void TearDown() override {
        host.reset();
        h.rt.drain();
    }
    std::shared_ptr<HostController> make() {
        host = h.make();
        host->setFrontDoor({listeners,
                            advertiser,
                            {&identity.identity(), nullptr, &net},
                            [] { return std::string("Desk"); },
                            0});
        return host;
    }
    void runShutdown(bool& done) {
        asio::co_spawn(
            h.rt.io,
            [&]() -> asio::awaitable<void> {
                co_await host->shutdown();
                done = true;
            },
            asio::detached);
        h.rt.drain();
    }
};

}  // namespace

TEST_F(StartupTest, StartsInOrderAndKeepsAStoredCodeVerbatim) {
    Keychain::set("abc-def-ghj-kl2", HostController::accessCodeAccount,
                  HostController::keychainService, true, std::nullopt, memory);
    h.settings.setBool("browserAccess", true);
    make();
    h.calls.clear();
    host->start(secrets);
    std::vector<std::string> want = {
        "keychain.read host.accessCode",
        "keychain.read host.iCloudToken",
        "keychain.replace host.iCloudToken local",
        "keychain.replace host.accessCode sync",
        "listener.make 0",
        "browser.start abc-def-ghj-kl2",
    };
    EXPECT_EQ(h.calls.calls(), want);
    EXPECT_EQ(host->accessCode(), "abc-def-ghj-kl2");
    EXPECT_EQ(stored(memory, HostController::accessCodeAccount), "abc-def-ghj-kl2");
    auto token = stored(memory, HostController::iCloudTokenAccount);
    ASSERT_TRUE(token);
    EXPECT_EQ(host->iCloudAuthToken(), *token);
    EXPECT_EQ(listeners.last()->params.tls.key, AccessCode::pskKey("abc-def-ghj-kl2"));
    EXPECT_FALSE(host->lastError());

    // The next start reuses the token.
    host.reset();
    make();
    host->start(secrets);
    EXPECT_EQ(host->iCloudAuthToken(), *token);
}

TEST_F(StartupTest, ShortStoredCodeIsReplacedAndWrittenBack) {
    Keychain::set("ABC-DEF-GHJ-KL", HostController::accessCodeAccount,
                  HostController::keychainService, true, std::nullopt, memory);
    make()->start(secrets);
    EXPECT_EQ(AccessCode::normalize(host->accessCode()).size(), 12u);
    EXPECT_NE(host->accessCode(), "ABC-DEF-GHJ-KL");
    EXPECT_EQ(stored(memory, HostController::accessCodeAccount), host->accessCode());
}

TEST_F(StartupTest, UnreadableKeychainIsNotOverwritten) {
    Keychain::set("PAIRED-CODE-123", HostController::accessCodeAccount,
                  HostController::keychainService, true, std::nullopt, memory);
    Keychain::set("token-kept", HostController::iCloudTokenAccount, HostController::keychainService,
                  false, std::nullopt, memory);
    auto writes = memory.writeCount();
    memory.setReadError(true);
    make()->start(secrets);
    memory.setReadError(false);
    EXPECT_EQ(memory.writeCount(), writes);
    EXPECT_EQ(stored(memory, HostController::accessCodeAccount), "PAIRED-CODE-123");
    EXPECT_EQ(stored(memory, HostController::iCloudTokenAccount), "token-kept");
    // The host still listens, with a code of its own for this run.
    EXPECT_EQ(AccessCode::normalize(host->accessCode()).size(), 12u);
    EXPECT_TRUE(listeners.last());
    ASSERT_TRUE(host->lastError());
    EXPECT_NE(host->lastError()->find("keychain"), std::string::npos);
}

TEST_F(StartupTest, ShutdownRunsOnceAndWaitsForEveryBye) {
    make()->start(secrets);
    listeners.last()->emitReady(40000);
    h.rt.drain();
    auto a = h.client("Phone");
    auto b = h.client("Tablet");
    auto c = h.client("Laptop");
    a->setAuthorized(true);
    b->setAuthorized(true);  // c is still waiting for approval
    host->setClients({a, b, c});
    h.calls.clear();

    bool first = false, second = false;
    runShutdown(first);
    runShutdown(second);
    EXPECT_TRUE(second);  // the second call returns at once
    for (auto& cl : {a, b, c}) {
        auto sent = HostHarness::connectionOf(cl)->sent(MessageType::bye);
        ASSERT_EQ(sent.size(), 1u) << cl->displayName();
        EXPECT_NE(std::string(sent[0].body.begin(), sent[0].body.end()).find("Orvane Host quit."),
                  std::string::npos);
    }
    EXPECT_TRUE(host->clients().empty());
    EXPECT_TRUE(listeners.last()->cancelled);
    // Each removal does its own clean-up; shutdown's own steps follow them, in this order:
    std::vector<std::string> want = {
        "streams.stop",           "advertiser.withdraw",       "browser.stop",
        "overlays.hideIndicator", "overlays.clearAnnotations", "overlays.setCurtain off"};
    const auto& calls = h.calls.calls();
    ASSERT_GE(calls.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(calls.end() - want.size(), calls.end()), want);

    // Not done until every connection has been closed.
    EXPECT_FALSE(first);
    h.rt.advance(1s);
    for (auto& cl : {a, b, c}) EXPECT_TRUE(HostHarness::connectionOf(cl)->isCancelled());
    h.rt.advance(100ms);
    EXPECT_TRUE(first);
    // A client failing now does not bring the listener back.
    auto made = listeners.made.size();
    host->frontDoor().restartAfterFailure();
    EXPECT_EQ(listeners.made.size(), made);
}
