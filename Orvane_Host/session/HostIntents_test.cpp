#include "Orvane_Host/session/HostIntents.h"

#include <gtest/gtest.h>

#include "OrvaneKit/net/testing/FakeServiceAdvertiser.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/security/Keychain.h"
#include "OrvaneKit/security/testing/FakeIdentity.h"
#include "OrvaneKit/security/testing/MemorySecretStore.h"
#include "Orvane_Host/session/testing/FakeListenerFactory.h"
#include "Orvane_Host/session/testing/HostHarness.h"

using namespace orvane;

namespace {

constexpr const char* oldCode = "ABC-DEF-GHJ-KLM";

struct Intents : ::testing::Test {
    HostHarness h;
    NetContext net{1};
    FakeListenerFactory listeners;
    FakeServiceAdvertiser advertiser;
    FakeIdentity identity{Bytes(32, 3)};
    MemorySecretStore secrets;
    std::shared_ptr<HostController> host;

    void SetUp() override {
        Keychain::set(oldCode, HostController::accessCodeAccount, HostController::keychainService,
                      true, std::nullopt, secrets);
        host = h.make();
        host->setFrontDoor({listeners,
                            advertiser,
                            {&identity.identity(), nullptr, &net},
                            [] { return std::string("Desk"); },
                            0});
        host->start(secrets);
        listeners.last()->emitReady(40000);
        h.rt.drain();
    }
    void TearDown() override {
        host.reset();
        h.rt.drain();
    }
};

TEST_F(Intents, TheCodeAsShownAndANewOneThatEndsEverySession) {
    auto a = intents::accessCode(*host);
    EXPECT_EQ(a.value, oldCode);
    EXPECT_EQ(a.dialog, std::string("Your Orvane access code is ") + oldCode + ".");

    auto one = h.listedClient(*host, "Pad", true);
    auto two = h.listedClient(*host, "Phone", true);
    auto changed = intents::changeAccessCode(*host);
    h.rt.drain();
    EXPECT_NE(changed.value, oldCode);
    EXPECT_EQ(changed.value, host->accessCode());
    EXPECT_EQ(changed.dialog, "New access code: " + host->accessCode() + ".");
    EXPECT_EQ(HostHarness::byeReason(one), "The access code was changed.");
    EXPECT_EQ(HostHarness::byeReason(two), "The access code was changed.");
}

TEST_F(Intents, DisconnectEveryoneCountsWaitingClientsToo) {
    EXPECT_EQ(intents::disconnectEveryone(*host), "Nobody was connected.");
    auto waiting = h.listedClient(*host, "Phone", false);
    EXPECT_EQ(intents::disconnectEveryone(*host), "Disconnected 1 device.");
    h.rt.drain();
    EXPECT_EQ(HostHarness::byeReason(waiting), intents::disconnectedReason);

    std::vector<std::shared_ptr<RemoteClient>> three = {h.listedClient(*host, "A", false),
                                                        h.listedClient(*host, "B", true),
                                                        h.listedClient(*host, "C", true)};
    EXPECT_EQ(intents::disconnectEveryone(*host), "Disconnected 3 devices.");
    h.rt.drain();
    for (const auto& c : three) EXPECT_EQ(HostHarness::byeReason(c), intents::disconnectedReason);
    EXPECT_TRUE(host->clients().empty());
}

}  // namespace
