#include "OrvaneKit/cloud/WidgetData.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/security/Keychain.h"
#include "OrvaneKit/security/testing/MemorySecretStore.h"

using namespace orvane;
namespace fs = std::filesystem;

namespace {

BroadcastTarget target() {
    return {"Studio Mac", std::nullopt, std::nullopt, 5900,
            "123-456",    "Phone",      "dev-1",      std::nullopt};
}

}  // namespace

TEST(WidgetMac, ListsRoundTripAndBadStoredDataReadsAsNone) {
    MemorySettingsStore suite;
    EXPECT_TRUE(WidgetMac::load(suite).empty());
    WidgetMac::save({}, suite);
    EXPECT_EQ(suite.string("widgetMacs"), "[]");
    EXPECT_TRUE(WidgetMac::load(suite).empty());

    const std::vector<WidgetMac> macs{{"a b", "Studio", "online"}, {"M2", "Attic", ""}};
    WidgetMac::save(macs, suite);
    EXPECT_EQ(WidgetMac::load(suite), macs);
    EXPECT_EQ(macs[0].url(), "kelsap://connect?id=a%20b");
    EXPECT_EQ((WidgetMac{"x&y=z#", "", ""}.url()), "kelsap://connect?id=x%26y%3Dz%23");

    for (const char* bad : {"{}", "[1]", R"([{"id":"a","name":"b"}])", "not json"}) {
        suite.setString("widgetMacs", bad);
        EXPECT_TRUE(WidgetMac::load(suite).empty()) << bad;
    }
}

TEST(BroadcastTarget, TheCodeStaysInTheKeychainAndItsLossMeansNone) {
    MemorySettingsStore suite;
    MemorySecretStore keychain;
    EXPECT_FALSE(BroadcastTarget::load(suite, keychain));
    auto t = target();
    t.save(suite, keychain);
    const auto json = *suite.string("broadcastTarget");
    EXPECT_EQ(json.find("123-456"), std::string::npos);
    for (const char* key : {"bonjourName", "address", "interfaceName"})
        EXPECT_EQ(json.find(key), std::string::npos) << key;
    EXPECT_EQ(BroadcastTarget::load(suite, keychain), t);

    auto full = t;
    full.bonjourName = "Studio";
    full.address = "192.0.2.4";
    full.interfaceName = "wlan0";
    full.accessCode = "999-000";
    EXPECT_NE(full, (BroadcastTarget{full.macName, full.bonjourName, full.address, full.port,
                                     "other", full.deviceName, full.deviceID, full.interfaceName}));
    full.save(suite, keychain);
    EXPECT_EQ(BroadcastTarget::load(suite, keychain), full);

    Keychain::remove(BroadcastTarget::accessCodeAccount, "com.nimbrel.kelsap", appGroup, keychain);
    EXPECT_FALSE(BroadcastTarget::load(suite, keychain));
    full.save(suite, keychain);
    BroadcastTarget::clear(suite, keychain);
    EXPECT_FALSE(BroadcastTarget::load(suite, keychain));
    EXPECT_FALSE(suite.hasStoredValue("broadcastTarget"));
}

TEST(WidgetMac, TwoProcessesSavingTheListAndTheTargetKeepBoth) {
    char tmpl[] = "/tmp/orvane-suite-XXXXXX";
    const fs::path dir = mkdtemp(tmpl);
    const fs::path file = dir / "group.json";
    MemorySecretStore keychain;
    auto writer = [&](int which) {
        FileSettingsStore suite(file);
        for (int i = 0; i < 100; ++i) {
            if (which == 0)
                WidgetMac::save({{"M" + std::to_string(i), "Studio", ""}}, suite);
            else
                suite.setString("broadcastTarget", R"({"n":)" + std::to_string(i) + "}");
        }
    };
    pid_t pids[2];
    for (int w = 0; w < 2; ++w) {
        pids[w] = fork();
        if (pids[w] == 0) {
            writer(w);
            _exit(0);
        }
    }
    for (auto p : pids) {
        int status = 0;
        waitpid(p, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    FileSettingsStore suite(file);
    ASSERT_EQ(WidgetMac::load(suite).size(), 1u);
    EXPECT_EQ(WidgetMac::load(suite)[0].id, "M99");
    EXPECT_EQ(suite.string("broadcastTarget"), R"({"n":99})");
    fs::remove_all(dir);
}
