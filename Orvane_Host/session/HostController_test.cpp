#include "Orvane_Host/session/HostController.h"

#include <gtest/gtest.h>

#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/session/testing/HostHarness.h"

namespace orvane {
namespace {

using Field = HostController::Field;

struct FieldRecorder {
    std::vector<Field> fields;
    SignalConnection conn;
    explicit FieldRecorder(HostController& h)
        : conn(h.changed.connect([this](Field f) { fields.push_back(f); })) {}
    int count(Field f) const {
        return static_cast<int>(std::count(fields.begin(), fields.end(), f));
    }
};

struct WriteRecorder {
    std::vector<std::string> keys;
    SignalConnection conn;
    explicit WriteRecorder(SettingsStore& s)
        : conn(s.changed.connect([this](const std::string& k) { keys.push_back(k); })) {}
};

TEST(HostControllerSettings, FreshInstallReadsTheDefaults) {
    HostHarness h;
    auto c = h.make();
    EXPECT_EQ(c->listenerState(), "Starting\u2026");
    EXPECT_EQ(c->idleTimeoutMinutes(), 0);
    EXPECT_FALSE(c->lockWhenSessionEnds());
    EXPECT_FALSE(c->blankScreen());
    EXPECT_TRUE(c->askBeforeConnecting());
    EXPECT_FALSE(c->unattendedAccess());
    EXPECT_FALSE(c->browserAccess());
    EXPECT_EQ(c->quality(), StreamQuality::balanced);
    EXPECT_TRUE(c->preferHEVC());
    EXPECT_FALSE(c->preferHDR());
    EXPECT_FALSE(c->highFrameRate());
    EXPECT_TRUE(c->shareClipboard());
    EXPECT_TRUE(c->shareSound());
    EXPECT_EQ(c->activeCodec(), VideoCodec::h264);
    EXPECT_TRUE(c->trustedDevices().empty());
    // The first-run rule writes its key; registered defaults are never stored.
    ASSERT_TRUE(h.settings.hasStoredValue("unattendedAccess"));
    EXPECT_FALSE(h.settings.boolValue("unattendedAccess"));
    EXPECT_FALSE(h.settings.hasStoredValue("askBeforeConnecting"));
    EXPECT_FALSE(h.settings.hasStoredValue("quality"));
    EXPECT_TRUE(h.calls.calls().empty()) << "loading settings starts nothing";
}

TEST(HostControllerSettings, FirstRunWithTrustedDevicesTurnsUnattendedOn) {
    HostHarness h;
    TrustedDevice::save(h.settings, {{"AAAA BBBB", "Ann's iPhone", ClientPlatform::iPhone}});
    auto c = h.make();
    EXPECT_TRUE(c->unattendedAccess());
    EXPECT_TRUE(h.settings.boolValue("unattendedAccess"));

    HostHarness stored;  // a written false is kept, trusted devices or not
    TrustedDevice::save(stored.settings, {{"AAAA BBBB", "Ann's iPhone", ClientPlatform::iPhone}});
    stored.settings.setBool("unattendedAccess", false);
    EXPECT_FALSE(stored.make()->unattendedAccess());
}

TEST(HostControllerSettings, StoredQualityParsing) {
    struct Case {
        std::optional<SettingsStore::Value> stored;
        StreamQuality q;
    } cases[] = {
        {"smooth", StreamQuality::smooth},       {"sharp", StreamQuality::sharp},
        {"balanced", StreamQuality::balanced},   {"Retina", StreamQuality::balanced},
        {"SHARP", StreamQuality::balanced},      {5, StreamQuality::balanced},
        {std::nullopt, StreamQuality::balanced},
    };
    for (const auto& cs : cases) {
        HostHarness h;
        if (cs.stored) h.settings.set("quality", *cs.stored);
        EXPECT_EQ(h.make()->quality(), cs.q) << (cs.stored ? cs.stored->dump() : "absent");
    }
    EXPECT_EQ(title(StreamQuality::sharp), "Retina");
    EXPECT_EQ(bitrate(StreamQuality::smooth), 6'000'000);
    EXPECT_EQ(maxCaptureWidth(StreamQuality::sharp), 3840);
}

TEST(HostControllerSettings, EqualAssignmentRewritesAndRunsEffectsWithoutNotifying) {
    HostHarness h;
    auto c = h.make();
    auto viewer = h.client("V");
    viewer->setAuthorized(true);
    c->setClients({viewer});
    h.streams.running = {1};
    c->setIsStreaming(true);
    h.calls.clear();
    FieldRecorder fields(*c);
    WriteRecorder writes(h.settings);

    c->setQuality(StreamQuality::balanced);
    EXPECT_EQ(h.calls.calls().size(), 1u) << "the restart is a task of its own";
    h.rt.drain();
    EXPECT_EQ(fields.count(Field::quality), 0);
    EXPECT_EQ(writes.keys, std::vector<std::string>{"quality"});
    EXPECT_EQ(h.settings.string("quality"), "balanced");
    EXPECT_EQ(h.calls.calls(),
              (std::vector<std::string>{"streams.setBitrate 12000000 60",
                                        "streams.start [1] width 2304 sound restart",
                                        "streams.assignTargets 1"}));

    h.calls.clear();
    c->setQuality(StreamQuality::sharp);
    c->setHighFrameRate(true);
    h.rt.drain();
    EXPECT_EQ(fields.count(Field::quality), 1);
    EXPECT_EQ(fields.count(Field::highFrameRate), 1);
    EXPECT_EQ(h.calls.count("streams.setBitrate 30000000 60"), 1u);
    EXPECT_EQ(h.calls.count("streams.setBitrate 30000000 120"), 1u);
    EXPECT_EQ(h.calls.count("streams.start [1] width 3840"), 2u)
        << "one restart per change, unmerged";

    // Every plain setting writes its key on an equal assignment too.
    writes.keys.clear();
    c->setIdleTimeoutMinutes(0);
    c->setLockWhenSessionEnds(false);
    c->setAskBeforeConnecting(true);
    c->setUnattendedAccess(false);
    c->setShareClipboard(true);
    EXPECT_EQ(writes.keys, (std::vector<std::string>{"idleTimeoutMinutes", "lockWhenSessionEnds",
                                                     "askBeforeConnecting", "unattendedAccess",
                                                     "shareClipboard"}));
    EXPECT_EQ(fields.fields.size(), 2u);
}

TEST(HostControllerSettings, NotStreamingNoRestart) {
    HostHarness h;
    auto c = h.make();
    c->setQuality(StreamQuality::smooth);
    c->setShareSound(false);
    h.rt.drain();
    EXPECT_EQ(h.calls.calls(), std::vector<std::string>{"streams.setBitrate 6000000 60"});
}

TEST(HostControllerSettings, BrowserAccessAndURL) {
    HostHarness h;
    auto c = h.make();
    c->setAccessCode("ABCD-EFGH-JKLM");
    h.addresses.lists.ipv4 = {"192.168.1.5", "10.0.0.2"};
    EXPECT_EQ(c->browserURL(), std::nullopt);
    c->setBrowserAccess(true);
    c->setBrowserAccess(true);  // starts again with the current code
    c->setBrowserAccess(false);
    EXPECT_EQ(h.calls.calls(),
              (std::vector<std::string>{"browser.start ABCD-EFGH-JKLM",
                                        "browser.start ABCD-EFGH-JKLM", "browser.stop"}));
    c->setBrowserAccess(true);
    EXPECT_EQ(c->browserURL(), "https://192.168.1.5:5896");
    h.browser.tls = false;
    EXPECT_EQ(c->browserURL(), "http://192.168.1.5:5896");
    h.addresses.lists.ipv4.clear();
    h.addresses.lists.ipv6 = {"fe80::1"};
    EXPECT_EQ(c->browserURL(), std::nullopt);
}

TEST(HostControllerSettings, PairingInfoFromAddressesAndOutsideRoutes) {
    struct Outside final : IOutsideRoutes {
        std::optional<PortMapping> mapping;
        std::optional<STUNReflexive> reflexive;
        std::optional<PortMapping> routerMapping() const override { return mapping; }
        std::optional<STUNReflexive> holePunchAddress() const override { return reflexive; }
    } outside;
    HostHarness h;
    auto c = h.make();
    auto info = c->makePairingInfo("ABC-DEF-GHJ-KLM");
    EXPECT_EQ(info, (PairingInfo{c->frontDoor().machineName(),
                                 std::nullopt,
                                 5895,
                                 "ABC-DEF-GHJ-KLM",
                                 std::nullopt,
                                 std::nullopt,
                                 {},
                                 std::nullopt,
                                 std::nullopt}));

    h.addresses.lists = {{"10.0.0.2", "192.168.1.5"}, {"2001:db8::1"}};
    outside.mapping = PortMapping{"203.0.113.7", 6000};
    outside.reflexive = STUNReflexive{"203.0.113.7", 40000};
    c->setOutsideRoutes(&outside);
    info = c->makePairingInfo("ABC-DEF-GHJ-KLM");
    EXPECT_EQ(info.host, "10.0.0.2");
    EXPECT_EQ(info.ipv6, std::vector<std::string>{"2001:db8::1"});
    EXPECT_EQ(info.externalHost, "203.0.113.7");
    EXPECT_EQ(info.externalPort, 6000);
    EXPECT_EQ(info.natHost, "203.0.113.7");
    EXPECT_EQ(info.natPort, 40000);
    c->setOutsideRoutes(nullptr);
}

TEST(HostControllerSettings, ShareSoundSendsTheFormatToAuthorisedClients) {
    HostHarness h;
    auto c = h.make();
    auto in = h.client("In"), waiting = h.client("Waiting");
    in->setAuthorized(true);
    c->setClients({in, waiting});
    c->setShareSound(true);
    EXPECT_TRUE(HostHarness::connectionOf(in)->sent().empty())
        << "no pipeline with sound: nothing sent";

    h.streams.format = AudioStreamFormat{48000, 2, 480, std::nullopt};
    h.streams.running = {1};
    c->setIsStreaming(true);
    h.calls.clear();
    c->setShareSound(true);
    h.rt.drain();
    auto sent = HostHarness::connectionOf(in)->sent(MessageType::audioFormat);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(json::decode<AudioStreamFormat>(ByteView(sent[0].body)), h.streams.format);
    EXPECT_TRUE(HostHarness::connectionOf(waiting)->sent().empty());
    EXPECT_EQ(h.calls.count("streams.start [1] width 2304 sound restart"), 1u);
}

TEST(HostControllerSettings, ClientsNotifyOnEveryAssignmentAndAssignTargets) {
    HostHarness h;
    auto c = h.make();
    FieldRecorder fields(*c);
    auto a = h.client("A");
    c->setClients({a});
    c->setClients({a});
    a->setDisplayID(2);
    c->publishClients();
    EXPECT_EQ(fields.count(Field::clients), 3);
    EXPECT_EQ(h.calls.count("streams.assignTargets 1"), 3u);
    EXPECT_EQ(h.streams.lastTargets.front(), a);
    c->setReceivedFiles({});
    c->setReceivedFiles({});
    EXPECT_EQ(fields.count(Field::receivedFiles), 2);
    c->setLastError(std::string("x"));
    c->setLastError(std::string("x"));
    EXPECT_EQ(fields.count(Field::lastError), 1);
}

TEST(HostControllerSettings, CodecAndCurtainFollowTheViewers) {
    HostHarness h;
    auto c = h.make();
    auto a = h.client("A");
    auto hello = *a->hello();
    hello.supportsHEVC = true;
    a->setHello(hello);
    a->setAuthorized(true);
    c->setClients({a});
    h.calls.clear();
    FieldRecorder fields(*c);
    c->setPreferHEVC(true);
    EXPECT_EQ(c->activeCodec(), VideoCodec::hevc);
    EXPECT_EQ(fields.count(Field::activeCodec), 1);
    EXPECT_EQ(h.calls.calls(), std::vector<std::string>{"streams.setCodec hevc sdr"});
    c->setPreferHEVC(false);
    EXPECT_EQ(c->activeCodec(), VideoCodec::h264);

    h.calls.clear();
    c->setBlankScreen(true);
    EXPECT_TRUE(h.overlays.curtain);
    EXPECT_EQ(h.calls.calls(),
              (std::vector<std::string>{"overlays.setCurtain on", "overlays.showIndicator 1 A"}));
    a->setCanControl(false);
    c->setBlankScreen(true);
    EXPECT_FALSE(h.overlays.curtain);
}

TEST(HostControllerSettings, ARefusedCurtainSaysWhyInLastError) {
    HostHarness h;
    auto c = h.make();
    auto a = h.client("A");
    a->setAuthorized(true);
    c->setClients({a});
    c->setLastError("earlier");
    c->setBlankScreen(false);
    EXPECT_EQ(c->lastError(), "earlier");  // nothing refused: nothing said
    h.overlays.refusal = "cannot";
    c->setBlankScreen(true);
    EXPECT_EQ(c->lastError(), "cannot");
}

// ---- Trusted devices ----

TEST(HostControllerTrustedDevices, StoredFormAndLoad) {
    HostHarness h;
    auto c = h.make();
    c->trust({"1111 2222", "Ann's iPhone", ClientPlatform::iPhone});
    c->trust({"3333 4444", "Desk", ClientPlatform::mac});
    c->trust(
        {"1111 2222", "Ann's new iPhone", ClientPlatform::iPhone});  // replaces, moves to the end
    ASSERT_EQ(c->trustedDevices().size(), 2u);
    EXPECT_EQ(c->trustedDevices()[0].id, "3333 4444");
    EXPECT_EQ(c->trustedDevices()[1].name, "Ann's new iPhone");
    auto data = h.settings.data("trustedDevices");
    ASSERT_TRUE(data);
    auto doc = nlohmann::json::parse(std::string(data->begin(), data->end()));
    EXPECT_EQ(doc[0]["platform"], "mac");
    EXPECT_EQ(doc[1]["platform"], "iPhone");
    EXPECT_EQ(c->loadTrustedDevices(), c->trustedDevices());

    // Extra keys are ignored.
    auto withExtra = R"([{"id":"A","name":"N","platform":"vision","since":3}])";
    h.settings.setData("trustedDevices", asBytes(withExtra));
    EXPECT_EQ(c->loadTrustedDevices(),
              (std::vector<TrustedDevice>{{"A", "N", ClientPlatform::vision}}));
}

TEST(HostControllerTrustedDevices, UnreadableListFailsClosedAndIsKept) {
    auto memory = std::make_shared<MemoryLogSink>();
    Log::addSink(memory);
    HostHarness h;
    auto raw =
        R"([{"id":"A","name":"N","platform":"iPhone"},{"id":"B","name":"M","platform":"toaster"}])";
    h.settings.setData("trustedDevices", asBytes(raw));
    auto stored = *h.settings.object("trustedDevices");
    auto c = h.make();
    Log::removeSink(memory);
    EXPECT_TRUE(c->trustedDevices().empty());
    EXPECT_EQ(h.settings.object("trustedDevices.unreadable"), stored);
    int lines = 0;
    for (auto& r : memory->records())
        if (r.message.find("trusted devices unreadable") != std::string::npos) ++lines;
    EXPECT_EQ(lines, 1);
    c->forgetAllDevices();  // a save now cannot lose the old list
    EXPECT_EQ(h.settings.object("trustedDevices.unreadable"), stored);

    HostHarness notData;
    notData.settings.set("trustedDevices", 12);
    EXPECT_TRUE(notData.make()->trustedDevices().empty());
    EXPECT_EQ(notData.settings.object("trustedDevices.unreadable"), SettingsStore::Value(12));
}

TEST(HostControllerTrustedDevices, ForgettingEndsOnlyThatDevicesSessions) {
    HostHarness h;
    auto c = h.make();
    c->trust({"FP-A", "A", ClientPlatform::iPhone});
    c->trust({"FP-B", "B", ClientPlatform::iPad});
    auto a = h.client("A", "FP-A"), b = h.client("B", "FP-B"), pending = h.client("A2", "FP-A");
    a->setAuthorized(true);
    b->setAuthorized(true);
    c->setClients({a, b, pending});
    c->forgetDevice("FP-A");
    EXPECT_EQ(c->trustedDevices(),
              (std::vector<TrustedDevice>{{"FP-B", "B", ClientPlatform::iPad}}));
    EXPECT_EQ(TrustedDevice::load(h.settings), c->trustedDevices());
    auto byes = HostHarness::connectionOf(a)->sent(MessageType::bye);
    ASSERT_EQ(byes.size(), 1u);
    EXPECT_EQ(json::decode<Bye>(ByteView(byes[0].body))->reason,
              "This device is no longer trusted.");
    EXPECT_FALSE(a->authorized());
    EXPECT_TRUE(HostHarness::connectionOf(b)->sent().empty());
    EXPECT_TRUE(HostHarness::connectionOf(pending)->sent().empty())
        << "not yet authorised: left alone";
    EXPECT_EQ(c->clients().size(), 2u);
    EXPECT_TRUE(c->recentlyStopped().contains("FP-A"));

    // The bye's completion closes the connection soon after; otherwise 1 s at the latest.
    HostHarness::connectionOf(a)->completeAll();
    h.rt.advance(std::chrono::milliseconds(50));
    EXPECT_TRUE(HostHarness::connectionOf(a)->isCancelled());
}

TEST(HostControllerTrustedDevices, ForgettingAnUnlistedIdStillSavesAndRevokes) {
    HostHarness h;
    auto c = h.make();
    auto a = h.client("A", "FP-GONE");
    a->setAuthorized(true);
    c->setClients({a});
    WriteRecorder writes(h.settings);
    c->forgetDevice("FP-GONE");
    EXPECT_EQ(writes.keys, std::vector<std::string>{"trustedDevices"});
    EXPECT_EQ(HostHarness::connectionOf(a)->sent(MessageType::bye).size(), 1u);
    h.rt.advance(std::chrono::seconds(1));
    EXPECT_TRUE(HostHarness::connectionOf(a)->isCancelled())
        << "the latest cancel when the bye never completes";
}

TEST(HostControllerTrustedDevices, ForgetAllWithAnEmptyListSavesAnEmptyArray) {
    HostHarness h;
    auto c = h.make();
    auto a = h.client("A", "FP-A");
    a->setAuthorized(true);
    c->setClients({a});
    FieldRecorder fields(*c);
    c->forgetAllDevices();
    auto data = h.settings.data("trustedDevices");
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->begin(), data->end()), "[]");
    EXPECT_TRUE(HostHarness::connectionOf(a)->sent().empty());
    EXPECT_EQ(fields.count(Field::trustedDevices), 0);
    EXPECT_FALSE(c->unattendedAccess()) << "forgetting leaves the setting alone";
}

TEST(HostControllerTrustedDevices, ConfirmationAlert) {
    HostHarness h;
    auto c = h.make();
    std::vector<bool> answers;
    auto record = [&](bool b) { answers.push_back(b); };
    h.alerts.answerNext(AlertResponse::firstButton);
    c->confirmUnattendedAccess("Ann's iPad", record);
    h.alerts.answerNext(AlertResponse::secondButton);
    c->confirmUnattendedAccess("Ann's iPad", record);
    h.alerts.answerNext(AlertResponse::thirdButton);
    c->confirmUnattendedAccess("Ann's iPad", record);
    auto handle = c->confirmUnattendedAccess("Ann's iPad", record);
    handle.abort();  // the client left while the alert was up
    handle.abort();
    EXPECT_EQ(answers, (std::vector<bool>{true, false, false, false}));
    ASSERT_EQ(h.alerts.shown().size(), 4u);
    const auto& spec = h.alerts.shown()[0];
    EXPECT_EQ(spec.message, "Let Ann's iPad in without asking?");
    EXPECT_EQ(spec.informativeText,
              "From now on, this device can connect to this Mac whenever the Mac is on, without "
              "anyone clicking "
              "Allow. It still needs the access code and its own security key. You will get a "
              "notification each "
              "time, and every session is listed in Session History. You can turn this off, or "
              "forget the device, "
              "in Settings under Security.");
    EXPECT_EQ(spec.buttons,
              (std::vector<std::string>{"Let It In Without Asking", "Just This Time"}));
}

}  // namespace
}  // namespace orvane
