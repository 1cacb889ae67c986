// Wire shapes of the plain JSON records, both ways.

#include <gtest/gtest.h>

#include <cmath>
#include <unordered_set>

#include "OrvaneKit/protocol/Hello.h"
#include "OrvaneKit/protocol/HostStatus.h"
#include "OrvaneKit/protocol/Messages.h"

namespace orvane {
namespace {

const Uuid kId = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");

// Compares as parsed JSON: key order is free, but the key set and every value must match.
template <class T>
void expectWritten(const T& value, const char* expected) {
    auto bytes = json::encode(value);
    ASSERT_TRUE(bytes) << expected;
    auto got = json::parse(*bytes);
    auto want = json::parse(std::string_view(expected));
    ASSERT_TRUE(got && want) << expected;
    EXPECT_EQ(*got, *want) << toString(*bytes);
}

template <class T>
bool reads(std::string_view body) {
    return json::decode<T>(body).has_value();
}

TEST(MessageRecords, WrittenShapes) {
    Hello minimal{"Ann's iPhone", ClientPlatform::iPhone, 2};
    expectWritten(minimal,
                  R"({"deviceName":"Ann's iPhone","platform":"iPhone","protocolVersion":2})");

    Hello full{"Mac/Pro", ClientPlatform::mac, 2, "dev-1", ClientRole::screenSharer, true, false,
               "tok"};
    full.preferredDisplayID = 4294967295u;
    expectWritten(
        full, R"({"deviceName":"Mac/Pro","platform":"mac","protocolVersion":2,"deviceID":"dev-1",
        "role":"screenSharer","supportsHEVC":true,"supportsHDR":false,"iCloudToken":"tok",
        "preferredDisplayID":4294967295})");

    expectWritten(HelloAck{"Studio", {}, 1},
                  R"({"hostName":"Studio","displays":[],"activeDisplayID":1})");
    expectWritten(
        HelloAck{"Studio", {{69733248, "Built-in", 1512, 982}}, 69733248},
        R"({"hostName":"Studio","displays":[{"id":69733248,"name":"Built-in","width":1512,"height":982}],
                      "activeDisplayID":69733248})");
    expectWritten(
        DisplayList{{{1, "A", 1, 2}, {2, "B", 3, 4}}, 2},
        R"({"displays":[{"id":1,"name":"A","width":1,"height":2},{"id":2,"name":"B","width":3,"height":4}],
                      "activeDisplayID":2})");
    expectWritten(SelectDisplay{7}, R"({"displayID":7})");
    expectWritten(SharerInfo{6}, R"({"orientation":6})");
    expectWritten(Clipboard{"x"}, R"({"text":"x"})");
    expectWritten(Bye{"The session was stopped at the Mac."},
                  R"({"reason":"The session was stopped at the Mac."})");
    expectWritten(FileOffer{kId, "a.pdf", 0, std::nullopt},
                  R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"a.pdf","size":0})");
    expectWritten(
        FileOffer{kId, "a.pdf", 12, "print"},
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","name":"a.pdf","size":12,"purpose":"print"})");
    expectWritten(FileEnd{kId, true},
                  R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","cancelled":true})");
    expectWritten(
        ChatMessage{kId, "hi", "Mac", Date::fromReference(100)},
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","text":"hi","sender":"Mac","sentAt":100})");
    expectWritten(
        ChatMessage{kId, "hi", "Mac", Date::fromUnix(0)},
        R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","text":"hi","sender":"Mac","sentAt":-978307200})");
    expectWritten(SessionPermissions{true, false},
                  R"({"canControl":true,"isSupportSession":false})");
    expectWritten(ScreenText{}, R"({"lines":[]})");
    expectWritten(ScreenText{{"a", "b"}, "Finder"},
                  R"({"lines":["a","b"],"frontmostApp":"Finder"})");

    HostStatus desktop{"Macmini9,1", "14.2",       3600.5,    std::nullopt, std::nullopt,
                       std::nullopt, std::nullopt, "nominal", 16,           std::nullopt};
    expectWritten(desktop, R"({"model":"Macmini9,1","osVersion":"14.2","uptimeSeconds":3600.5,
        "thermalState":"nominal","memoryGB":16})");
    HostStatus laptop{"Mac14,2", "14.2", 10, 85, true, 1000, 2000, "fair", 8, "aa:bb:cc:dd:ee:ff"};
    expectWritten(laptop,
                  R"({"model":"Mac14,2","osVersion":"14.2","uptimeSeconds":10,"batteryPercent":85,
        "isCharging":true,"diskFreeBytes":1000,"diskTotalBytes":2000,"thermalState":"fair","memoryGB":8,
        "macAddress":"aa:bb:cc:dd:ee:ff"})");
}

TEST(MessageRecords, SlashesInTextsAreEscaped) {
    auto bytes = json::encode(Clipboard{"a/b"});
    ASSERT_TRUE(bytes);
    EXPECT_EQ(toString(*bytes), R"({"text":"a\/b"})");
}

TEST(MessageRecords, NonFiniteStatusNumbersFailTheSend) {
    HostStatus s{"m", "o", 1, {}, {}, {}, {}, "nominal", 1, {}};
    EXPECT_TRUE(json::encode(s));
    auto bad = s;
    bad.uptimeSeconds = std::nan("");
    EXPECT_FALSE(json::encode(bad));
    bad = s;
    bad.memoryGB = -INFINITY;
    EXPECT_FALSE(json::encode(bad));
}

TEST(MessageRecords, ReadingHello) {
    auto h = json::decode<Hello>(R"({"deviceName":"d","platform":"iPhone","protocolVersion":2})");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->platform, ClientPlatform::iPhone);
    EXPECT_FALSE(h->deviceID || h->role || h->supportsHEVC || h->supportsHDR || h->iCloudToken ||
                 h->preferredDisplayID);

    auto sharer = json::decode<Hello>(
        R"({"deviceName":"d","platform":"iPad","protocolVersion":2,"role":"screenSharer","preferredDisplayID":5})");
    ASSERT_TRUE(sharer);
    EXPECT_EQ(sharer->role, ClientRole::screenSharer);
    EXPECT_EQ(sharer->preferredDisplayID, 5u);

    struct Case {
        const char* extra;  // spliced into a valid Hello, or replacing a key
        bool reads;
    } cases[] = {
        {R"("platform":"mac")", true},
        {R"("platform":"vision")", true},
        {R"("platform":"watch")", true},
        {R"("platform":"unknown")", true},
        {R"("platform":"Mac")", false},
        {R"("platform":"android")", false},
        {R"("platform":null)", false},
        {R"("protocolVersion":1)", true},
        {R"("protocolVersion":99)", true},
        {R"("protocolVersion":null)", false},
        {R"("protocolVersion":"2")", false},
        {R"("protocolVersion":2.5)", false},
        {R"("role":null)", true},
        {R"("role":"viewer")", true},
        {R"("role":"ScreenSharer")", false},
        {R"("preferredDisplayID":-1)", false},
        {R"("preferredDisplayID":4294967296)", false},
        {R"("preferredDisplayID":4294967295)", true},
        {R"("supportsHEVC":1)", false},
        {R"("supportsHDR":"true")", false},
        {R"("deviceID":null,"iCloudToken":null,"supportsHEVC":null)", true},
        {R"("somethingNew":{"nested":[1,2]})", true},
    };
    for (const auto& c : cases) {
        // Later keys win, so the case's value replaces the default one.
        std::string body =
            std::string(R"({"deviceName":"d","platform":"iPhone","protocolVersion":2,)") + c.extra +
            "}";
        auto parsed = json::parse(std::string_view(body));
        ASSERT_TRUE(parsed) << body;
        EXPECT_EQ(reads<Hello>(body), c.reads) << body;
    }
    EXPECT_FALSE(reads<Hello>(R"({"deviceName":"d","platform":"iPhone"})"));
    EXPECT_FALSE(reads<Hello>(R"({"platform":"iPhone","protocolVersion":2})"));
}

TEST(MessageRecords, ReadingOtherRecords) {
    struct Case {
        bool (*read)(std::string_view);
        const char* body;
        bool reads;
    } cases[] = {
        {reads<HelloAck>, R"({"hostName":"h","displays":[],"activeDisplayID":0})", true},
        {reads<HelloAck>, R"({"hostName":"h","activeDisplayID":0})", false},
        {reads<HelloAck>, R"({"hostName":"h","displays":null,"activeDisplayID":0})", false},
        {reads<HelloAck>,
         R"({"hostName":"h","displays":[{"id":1,"name":"n","width":1}],"activeDisplayID":0})",
         false},
        {reads<DisplayList>,
         R"({"displays":[{"id":1,"name":"n","width":-5,"height":9007199254740993}],"activeDisplayID":1})",
         true},
        {reads<DisplayList>,
         R"({"displays":[{"id":-1,"name":"n","width":1,"height":1}],"activeDisplayID":1})", false},
        {reads<DisplayInfo>, R"({"id":1,"name":"n","width":1,"height":1.5})", false},
        {reads<SelectDisplay>, R"({"displayID":4294967296})", false},
        {reads<SelectDisplay>, R"({"displayID":12})", true},
        {reads<SharerInfo>, R"({"orientation":8})", true},
        {reads<SharerInfo>, R"({"orientation":true})", false},
        {reads<Clipboard>, R"({"text":""})", true},
        {reads<Clipboard>, R"({"text":null})", false},
        {reads<Bye>, R"({"reason":"r","extra":1})", true},
        {reads<Bye>, R"("r")", false},
        {reads<FileOffer>, R"({"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","name":"n","size":0})",
         true},
        {reads<FileOffer>,
         R"({"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","name":"n","size":0,"purpose":null})",
         true},
        {reads<FileOffer>,
         R"({"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","name":"n","size":0,"purpose":1})", false},
        {reads<FileOffer>, R"({"id":"not-a-uuid","name":"n","size":0})", false},
        {reads<FileEnd>, R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","cancelled":false})",
         true},
        {reads<FileEnd>, R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","cancelled":0})", false},
        {reads<ChatMessage>,
         R"({"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","text":"t","sender":"s","sentAt":1.25})",
         true},
        {reads<ChatMessage>,
         R"({"id":"e621e1f8c36c495a93fc0c247a3e6e5f","text":"t","sender":"s","sentAt":1})", false},
        {reads<ChatMessage>,
         R"({"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","text":"t","sender":"s","sentAt":"2001"})",
         false},
        {reads<SessionPermissions>, R"({"canControl":true,"isSupportSession":false})", true},
        {reads<SessionPermissions>, R"({"canControl":true})", false},
        {reads<HostStatus>,
         R"({"model":"m","osVersion":"o","uptimeSeconds":1,"thermalState":"t","memoryGB":2})",
         true},
        {reads<HostStatus>,
         R"({"model":"m","osVersion":"o","uptimeSeconds":1,"thermalState":"t","memoryGB":2,"batteryPercent":50.5})",
         false},
        {reads<HostStatus>,
         R"({"model":"m","osVersion":"o","uptimeSeconds":1e999,"thermalState":"t","memoryGB":2})",
         false},
        {reads<ScreenText>, R"({"lines":[]})", true},
        {reads<ScreenText>, R"({"lines":["a",1]})", false},
        {reads<ScreenText>, R"({"frontmostApp":"x"})", false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.read(c.body), c.reads) << c.body;

    auto chat = json::decode<ChatMessage>(
        R"({"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","text":"t","sender":"s","sentAt":100})");
    ASSERT_TRUE(chat);
    EXPECT_EQ(chat->id, kId);
    EXPECT_EQ(chat->sentAt.iso8601(), "2001-01-01T00:01:40Z");
}

TEST(MessageRecords, EnumerationTexts) {
    for (auto p : {ClientPlatform::mac, ClientPlatform::iPhone, ClientPlatform::iPad,
                   ClientPlatform::vision, ClientPlatform::watch, ClientPlatform::unknown})
        EXPECT_EQ(clientPlatformFromRaw(rawValue(p)), p);
    EXPECT_EQ(rawValue(ClientPlatform::iPhone), "iPhone");
    EXPECT_FALSE(clientPlatformFromRaw("iphone"));
    EXPECT_EQ(clientRoleFromRaw("screenSharer"), ClientRole::screenSharer);
    EXPECT_FALSE(clientRoleFromRaw(""));
}

TEST(MessageRecords, EqualityAndHashing) {
    DisplayInfo a{1, "A", 10, 20};
    DisplayInfo b = a;
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<DisplayInfo>{}(a), std::hash<DisplayInfo>{}(b));
    b.height = 21;
    EXPECT_NE(a, b);
    std::unordered_set<DisplayInfo> displays{a, b, a};
    EXPECT_EQ(displays.size(), 2u);

    ChatMessage m{kId, "t", "s", Date::fromReference(0.0)};
    ChatMessage n{kId, "t", "s", Date::fromReference(-0.0)};
    EXPECT_EQ(m, n);
    EXPECT_EQ(std::hash<ChatMessage>{}(m), std::hash<ChatMessage>{}(n));
    n.text = "u";
    std::unordered_set<ChatMessage> chats{m, n};
    EXPECT_EQ(chats.size(), 2u);

    HostStatus s{"m", "o", 1, 50, {}, {}, {}, "nominal", 1, {}};
    auto t = s;
    EXPECT_EQ(s, t);
    t.batteryPercent.reset();
    EXPECT_NE(s, t);
}

}  // namespace
}  // namespace orvane
