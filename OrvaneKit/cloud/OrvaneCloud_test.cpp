#include "OrvaneKit/cloud/OrvaneCloud.h"

#include <gtest/gtest.h>

#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/base/testing/FakeClock.h"
#include "OrvaneKit/cloud/testing/FakeCloudStore.h"

using namespace orvane;

namespace {

CloudMac fullMac(Date now) {
    CloudMac m;
    m.id = "4F1C2D3E-0000-4000-8000-000000000001";
    m.name = "Studio";
    m.model = "Linux,x86_64";
    m.lastSeen = now + 0.1234567;  // below a millisecond is not kept
    m.lanAddresses = {"192.168.1.20", "10.0.0.5"};
    m.publicAddress = "203.0.113.7";
    m.publicPort = 40001;
    m.ipv6Addresses = {"2001:db8::1"};
    m.accessCode = "ABCD-1234";
    m.identity = "fp:0011";
    m.authToken = "tok";
    m.natHost = "198.51.100.2";
    m.natPort = 51000;
    return m;
}

struct Cloud : testing::Test {
    FakeClock clock;
    std::shared_ptr<FakeCloudStore> store = std::make_shared<FakeCloudStore>();
    OrvaneCloud cloud{store, clock};
    Date now() const { return Date::fromTimePoint(clock.wallNow()); }
    void SetUp() override { cloud.ensureZone(); }
};

TEST_F(Cloud, AMacRoundTripsToTheMillisecondWithSecretsSealedApart) {
    auto mac = fullMac(now());
    cloud.publish(mac);
    auto got = cloud.fetchChanges();
    ASSERT_EQ(got.macs.size(), 1u);
    auto expected = mac;
    expected.lastSeen = fromCloudDate(toCloudDate(mac.lastSeen));
    EXPECT_EQ(got.macs[0], expected);
    EXPECT_EQ(toCloudDate(got.macs[0].lastSeen), toCloudDate(mac.lastSeen));

    auto rec =
        store->database(CloudScope::privateScope)->fetchRecord({mac.id, OrvaneCloud::zoneID()});
    for (const char* k : {"accessCode", "identity", "authToken"}) {
        EXPECT_EQ(rec.get(k), nullptr) << k;
        EXPECT_NE(rec.getEncrypted(k), nullptr) << k;
    }

    // A later record without lists or a mapping removes what the server still held.
    mac.lanAddresses.clear();
    mac.ipv6Addresses.clear();
    mac.publicAddress.reset();
    mac.publicPort.reset();
    mac.accessCode = "NEW-CODE";
    cloud.publish(mac);
    rec = store->database(CloudScope::privateScope)->fetchRecord({mac.id, OrvaneCloud::zoneID()});
    for (const char* k : {"lanAddresses", "ipv6Addresses", "publicAddress", "publicPort"})
        EXPECT_EQ(rec.get(k), nullptr) << k;
    auto back = cloud.fetchChanges().macs.at(0);
    EXPECT_TRUE(back.lanAddresses.empty());
    EXPECT_EQ(back.accessCode, "NEW-CODE");
}

TEST_F(Cloud, RecordsReadWithDefaults) {
    CloudRecord bare;
    bare.type = "Mac";
    bare.id = {"M", OrvaneCloud::zoneID()};
    bare.set("accessCode", std::string("plain is never read"));
    bare.set("publicPort", std::string("not a number"));
    auto m = CloudMac::fromRecord(bare);
    EXPECT_EQ(m.name, "Mac");
    EXPECT_EQ(m.model, "");
    EXPECT_EQ(m.lastSeen, distantPast());
    EXPECT_EQ(distantPast().iso8601(), "0001-01-01T00:00:00Z");
    EXPECT_TRUE(m.lanAddresses.empty() && m.ipv6Addresses.empty());
    EXPECT_FALSE(m.accessCode || m.publicPort || m.natHost);
    EXPECT_FALSE(m.isOnline(now()));

    struct Case {
        std::optional<std::string> macID, action, sender;
        bool reads;
    };
    const Case cases[] = {
        {"M1", "lockScreen", "Owner's iPad", true},
        {"M1", "lockScreen", std::nullopt, true},
        {"M1", "explode", "x", false},
        {std::nullopt, "newCode", "x", false},
        {"M1", std::nullopt, "x", false},
    };
    for (const auto& c : cases) {
        CloudRecord r;
        r.type = "Command";
        r.id = {"C", OrvaneCloud::zoneID()};
        if (c.macID) r.set("macID", *c.macID);
        if (c.action) r.set("action", *c.action);
        if (c.sender) r.set("sender", *c.sender);
        auto cmd = CloudCommand::fromRecord(r);
        ASSERT_EQ(cmd.has_value(), c.reads) << c.action.value_or("-");
        if (!cmd) continue;
        EXPECT_EQ(cmd->sender, c.sender.value_or("Another device"));
        EXPECT_EQ(cmd->createdAt, distantPast());
    }
    CloudRecord wrongKind;
    wrongKind.set("macID", std::int64_t{1});
    wrongKind.set("action", std::string("newCode"));
    EXPECT_FALSE(CloudCommand::fromRecord(wrongKind));
}

TEST_F(Cloud, EndpointsAndOnline) {
    CloudMac m;
    m.publicAddress = "203.0.113.7";
    m.publicPort = 40001;
    m.ipv6Addresses = {"2001:db8::1"};
    EXPECT_EQ(m.endpoints(), (std::vector<std::string>{"203.0.113.7:40001", "[2001:db8::1]:5895"}));
    m.publicPort.reset();
    EXPECT_EQ(m.endpoints(), (std::vector<std::string>{"[2001:db8::1]:5895"}));
    m.ipv6Addresses.clear();
    EXPECT_TRUE(m.endpoints().empty());

    m.lastSeen = now() + (-599.0);
    EXPECT_TRUE(m.isOnline(now()));
    m.lastSeen = now() + (-600.0);
    EXPECT_FALSE(m.isOnline(now()));
    m.lastSeen = now() + 3600.0;
    EXPECT_TRUE(m.isOnline(now()));
}

TEST_F(Cloud, CommandsAreSentFetchedAcrossPagesAndDeleted) {
    store->setPageSize(1);
    cloud.publish(fullMac(now()));
    auto a = cloud.send(CloudAction::newCode, "M1", "Owner's iPhone");
    auto b = cloud.send(CloudAction::playSound, "M2", "Owner's iPad");
    EXPECT_TRUE(Uuid::parse(a.id));
    EXPECT_EQ(a.id, Uuid::parse(a.id)->string()) << "upper case";
    CloudRecord candidate;
    candidate.type = "NATCandidate";
    candidate.id = {"nat-M1-viewer", OrvaneCloud::zoneID()};
    store->database(CloudScope::privateScope)
        ->modifyRecords({candidate}, {}, CloudSavePolicy::allKeys, true);

    auto got = cloud.fetchChanges();
    EXPECT_EQ(got.macs.size(), 1u);
    ASSERT_EQ(got.commands.size(), 2u);
    EXPECT_EQ(got.commands[0], a);
    EXPECT_EQ(got.commands[1].action, CloudAction::playSound);

    const auto before = store->requestCount();
    cloud.deleteCommands({});
    EXPECT_EQ(store->requestCount(), before) << "an empty deletion asks nothing";
    cloud.deleteCommands({a});
    EXPECT_NO_THROW(cloud.deleteCommands({a})) << "per-record failures are ignored";
    EXPECT_EQ(cloud.fetchChanges().commands, (std::vector<CloudCommand>{b}));

    store->failNextRequest(cloudError(CloudErrorCode::networkUnavailable));
    EXPECT_THROW(cloud.deleteCommands({b}), CloudError);
}

TEST_F(Cloud, FailuresReachTheCaller) {
    auto mac = fullMac(now());
    store->failRecord(mac.id, cloudError(CloudErrorCode::serverRecordChanged));
    try {
        cloud.publish(mac);
        FAIL();
    } catch (const CloudError& e) {
        EXPECT_EQ(e.code, CloudErrorCode::serverRecordChanged);
    }

    CloudModifyResult both;
    both.deleted.push_back({{"d"}, cloudError(CloudErrorCode::unknownItem)});
    both.saved.push_back({{"s"}, std::nullopt, cloudError(CloudErrorCode::invalidArguments)});
    try {
        firstRecordFailure(both);
        FAIL();
    } catch (const CloudError& e) {
        EXPECT_EQ(e.code, CloudErrorCode::invalidArguments) << "saves come first";
    }
    EXPECT_NO_THROW(firstRecordFailure({}));
}

TEST_F(Cloud, AccountStatusText) {
    store->setUserRecordName("_4c1f0e7d2a9b8c3d6e5f4a3b2c1d0e9f");
    EXPECT_EQ(cloud.accountStatus(), "account status 1 (1 = available), user 4a3b2c1d0e9f");
    store->setUserRecordName("_short");
    EXPECT_EQ(cloud.accountStatus(), "account status 1 (1 = available), user _short");
    store->setAccountStatusFails(true);
    store->setUserLookupFails(true);
    EXPECT_EQ(cloud.accountStatus(), "account status ? (1 = available), user none");
    store->setAccountStatusFails(false);
    store->setAccountStatus(CloudAccountStatus::noAccount);
    EXPECT_EQ(cloud.accountStatus(), "account status 3 (1 = available), user none");
}

TEST(CloudActionTest, RawValuesTitlesAndSymbols) {
    EXPECT_EQ(allCloudActions.size(), 5u);
    EXPECT_EQ(title(CloudAction::sleepDisplay), "Turn Display Off");
    EXPECT_EQ(symbolName(CloudAction::disconnectAll), "xmark.octagon.fill");
    for (auto a : allCloudActions) EXPECT_EQ(cloudActionFromRaw(rawValue(a)), a);
    EXPECT_FALSE(cloudActionFromRaw("PlaySound"));
}

}  // namespace
