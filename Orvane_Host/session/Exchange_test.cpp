#include "Orvane_Host/session/Exchange.h"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "OrvaneKit/files/testing/ScratchFolder.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/security/testing/MemorySecretStore.h"
#include "Orvane_Host/session/testing/HostHarness.h"
#include "Orvane_Host/system/MachineName.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using Field = HostController::Field;

template <class T>
std::vector<T> bodies(const std::shared_ptr<RemoteClient>& c, MessageType type) {
    std::vector<T> out;
    for (const auto& s : HostHarness::connectionOf(c)->sent(type))
        out.push_back(*json::decode<T>(s.body));
    return out;
}

// A host with Ann (iPhone, in control), Bob (a Mac viewer, view only), Cleo (a sharer) and Dan
// (not let in yet).
struct ExchangeBench {
    HostHarness h;
    std::shared_ptr<HostController> host = h.make();
    std::shared_ptr<RemoteClient> ann = h.client("Ann");
    std::shared_ptr<RemoteClient> bob = h.client("Bob");
    std::shared_ptr<RemoteClient> cleo = h.client("Cleo");
    std::shared_ptr<RemoteClient> dan = h.client("Dan");
    std::vector<Field> changes;
    std::vector<std::string> banners;
    SignalConnection watch = host->changed.connect([this](Field f) {
        changes.push_back(f);
        if (f == Field::lastError && host->lastError()) banners.push_back(*host->lastError());
    });
    ScratchFolder dir;

    ExchangeBench() {
        Hello mac = *bob->hello();
        mac.platform = ClientPlatform::mac;
        bob->setHello(mac);
        Hello sharer = *cleo->hello();
        sharer.role = ClientRole::screenSharer;
        cleo->setHello(sharer);
        for (const auto& c : {ann, bob, cleo}) c->setAuthorized(true);
        bob->setCanControl(false);
        host->setClients({ann, bob, cleo, dan});
        h.rt.drain();
        changes.clear();
    }
    // Transfers still going end as they would when their clients leave.
    ~ExchangeBench() {
        for (const auto& c : {ann, bob, cleo, dan}) c->connection->cancel();
        h.rt.drain();
    }
    Exchange& exchange() { return host->exchange(); }
    std::shared_ptr<FakeConnection> connection(const std::shared_ptr<RemoteClient>& c) {
        return HostHarness::connectionOf(c);
    }
    std::size_t count(Field f) const { return std::count(changes.begin(), changes.end(), f); }
};

TEST(ExchangePoll, PermissionFlagsFollowThePortsAndChangeOnlyWhenTheyDiffer) {
    ExchangeBench b;
    EXPECT_TRUE(b.host->screenRecordingGranted());
    EXPECT_TRUE(b.host->accessibilityGranted());
    b.exchange().pollTick();
    EXPECT_TRUE(b.changes.empty());

    b.h.screens.displays = std::nullopt;
    b.h.injector.posting = false;
    b.exchange().pollTick();
    b.exchange().pollTick();
    EXPECT_FALSE(b.host->screenRecordingGranted());
    EXPECT_FALSE(b.host->accessibilityGranted());
    EXPECT_EQ(b.count(Field::screenRecordingGranted), 1u);
    EXPECT_EQ(b.count(Field::accessibilityGranted), 1u);
}

TEST(ExchangePoll, ClipboardGoesOnceToEveryAuthorisedClient) {
    ExchangeBench b;
    b.exchange().pollTick();
    EXPECT_TRUE(b.connection(b.ann)->sent(MessageType::clipboard).empty());

    b.h.pasteboard.externalCopy("copied at the machine");
    b.exchange().pollTick();
    b.exchange().pollTick();
    for (const auto& c : {b.ann, b.bob, b.cleo})
        EXPECT_EQ(bodies<Clipboard>(c, MessageType::clipboard),
                  std::vector<Clipboard>{{"copied at the machine"}})
            << c->displayName();
    EXPECT_TRUE(b.connection(b.dan)->sent(MessageType::clipboard).empty());
}

TEST(ExchangePoll, ClipboardSizeLimitAndNonTextAreSkippedForGood) {
    struct Case {
        std::size_t bytes;
        bool hasText, sent;
    } cases[] = {
        {999'999, true, true},
        {1'000'000, true, false},
        {5, false, false},
    };
    for (const auto& c : cases) {
        ExchangeBench b;
        // Two-byte characters: the limit counts bytes, not characters.
        std::string text(c.bytes % 2, 'a');
        for (std::size_t i = 0; i < c.bytes / 2; ++i) text += "\u00e9";
        b.h.pasteboard.externalCopy(text);
        b.h.pasteboard.hasText = c.hasText;
        b.exchange().pollTick();
        b.exchange().pollTick();
        EXPECT_EQ(b.connection(b.ann)->sent(MessageType::clipboard).size(), c.sent ? 1u : 0u)
            << c.bytes;
        EXPECT_EQ(b.host->pasteboardChangeCount, b.h.pasteboard.count) << c.bytes;
    }
}

TEST(ExchangePoll, SharingOffNeitherSendsNorRemembers) {
    ExchangeBench b;
    b.host->setShareClipboard(false);
    b.h.pasteboard.externalCopy("private");
    b.exchange().pollTick();
    EXPECT_TRUE(b.connection(b.ann)->sent(MessageType::clipboard).empty());
    EXPECT_NE(b.host->pasteboardChangeCount, b.h.pasteboard.count);

    b.host->setShareClipboard(true);
    b.exchange().pollTick();
    EXPECT_EQ(bodies<Clipboard>(b.ann, MessageType::clipboard),
              std::vector<Clipboard>{{"private"}});
}

TEST(ExchangePoll, ViewersClipboardIsNotSentBack) {
    ExchangeBench b;
    MessageRouter::receive(MessageType::clipboard, *json::encode(Clipboard{"from Ann"}), b.ann,
                           b.host->router().connectionTier());
    b.h.rt.drain();
    ASSERT_EQ(b.h.pasteboard.text, "from Ann");
    b.exchange().pollTick();
    EXPECT_TRUE(b.connection(b.bob)->sent(MessageType::clipboard).empty());
}

TEST(ExchangePoll, RunsEverySecondFromStartUntilShutdown) {
    ExchangeBench b;
    MemorySecretStore secrets;
    b.host->start(secrets);
    b.h.pasteboard.externalCopy("one");
    b.h.rt.advance(1s);
    EXPECT_EQ(b.connection(b.ann)->sent(MessageType::clipboard).size(), 1u);

    bool done = false;
    asio::co_spawn(
        b.h.rt.io,
        [&]() -> asio::awaitable<void> {
            co_await b.host->shutdown();
            done = true;
        },
        asio::detached);
    b.h.rt.drain();
    b.h.rt.advance(2s);
    ASSERT_TRUE(done);
    b.h.pasteboard.externalCopy("two");
    b.h.rt.advance(3s);
    EXPECT_EQ(b.connection(b.ann)->sent(MessageType::clipboard).size(), 1u);
}

TEST(ExchangeChat, TrimmedTextGoesToTheListAndEveryAuthorisedClient) {
    ExchangeBench b;
    b.exchange().sendChat(" \n\t \r\n");
    EXPECT_TRUE(b.host->chat().empty());
    EXPECT_TRUE(b.connection(b.ann)->sent(MessageType::chat).empty());

    b.exchange().sendChat("\n  see you at five  \n");
    ASSERT_EQ(b.host->chat().size(), 1u);
    const auto& m = b.host->chat()[0];
    EXPECT_EQ(m.text, "see you at five");
    EXPECT_EQ(m.sender, macDisplayName());
    EXPECT_EQ(b.host->unreadChat(), 0);
    for (const auto& c : {b.ann, b.bob, b.cleo})
        EXPECT_EQ(bodies<ChatMessage>(c, MessageType::chat), std::vector<ChatMessage>{m});
    EXPECT_TRUE(b.connection(b.dan)->sent(MessageType::chat).empty());
}

// Offers a client has been sent, by name, in order.
std::vector<std::string> offered(const std::shared_ptr<RemoteClient>& c) {
    std::vector<std::string> out;
    for (const auto& o : bodies<FileOffer>(c, MessageType::fileOffer)) out.push_back(o.name);
    return out;
}

TEST(ExchangeSend, EachClientGetsItsOwnSequenceAndFailuresDoNotStopIt) {
    ExchangeBench b;
    auto one = b.dir.write("one.txt", 70000);
    auto missing = b.dir / "missing.txt";
    auto three = b.dir.write("three.txt", 10);
    b.exchange().sendFiles({one, missing, three}, b.ann);
    b.exchange().sendFiles({one, missing, three}, b.bob);
    EXPECT_EQ(b.host->sendingFiles(),
              (std::vector<std::string>{"one.txt \u2192 Ann", "one.txt \u2192 Bob"}));
    EXPECT_EQ(b.h.files.count("sending"), 2u);

    // Ann's transfer breaks at its first chunk; Bob's goes through.
    auto annConnection = b.connection(b.ann);
    annConnection->completeOne();  // the offer
    annConnection->completeOne(NetError{NetError::Kind::posix, 32, "Broken pipe"});
    b.h.rt.drain();
    EXPECT_EQ(b.banners,
              (std::vector<std::string>{
                  "Couldn't send one.txt: The connection failed: Broken pipe",
                  "Could not read " + missing.string() + ": No such file or directory"}));
    EXPECT_EQ(offered(b.ann), (std::vector<std::string>{"one.txt", "three.txt"}));
    EXPECT_EQ(offered(b.bob), (std::vector<std::string>{"one.txt"}));
    EXPECT_EQ(b.host->sendingFiles(),
              (std::vector<std::string>{"one.txt \u2192 Bob", "three.txt \u2192 Ann"}));

    b.connection(b.bob)->completeAll();
    annConnection->completeAll();
    b.h.rt.drain();
    EXPECT_EQ(offered(b.bob), (std::vector<std::string>{"one.txt", "three.txt"}));
    EXPECT_EQ(b.connection(b.bob)->sent(MessageType::fileChunk).size(), 3u);
    b.connection(b.bob)->completeAll();
    b.h.rt.drain();
    EXPECT_TRUE(b.host->sendingFiles().empty());
    for (const auto& c : {b.ann, b.bob})
        for (const auto& o : bodies<FileOffer>(c, MessageType::fileOffer))
            EXPECT_EQ(o.purpose, std::nullopt);
}

TEST(ExchangeSend, ChosenFilesGoToEveryAuthorisedClient) {
    ExchangeBench b;
    b.host->chooseFilesToSend();
    EXPECT_EQ(b.h.filePicker.message, "Choose files to send to your connected devices");
    EXPECT_EQ(b.h.filePicker.button, "Send");
    b.h.filePicker.answer({});
    EXPECT_TRUE(b.host->sendingFiles().empty());

    b.host->chooseFilesToSend();
    b.h.filePicker.answer({b.dir.write("a.txt", 3)});
    for (const auto& c : {b.ann, b.bob, b.cleo})
        EXPECT_EQ(offered(c), std::vector<std::string>{"a.txt"}) << c->displayName();
    EXPECT_TRUE(offered(b.dan).empty());
}

TEST(ExchangePrint, GoesToTheBestClientAndTheDocumentIsRemovedInEveryCase) {
    struct Case {
        const char* what;
        std::vector<std::string> authorised;  // of Ann (iPhone), Bob (Mac), Cleo (sharer)
        std::string target;
    } cases[] = {
        {"phone and Mac viewer", {"Bob", "Ann"}, "Ann"},
        {"Mac viewer only", {"Bob"}, "Bob"},
        {"sharer only", {"Cleo"}, "Cleo"},
        {"nobody", {}, ""},
    };
    for (const auto& c : cases) {
        ExchangeBench b;
        for (const auto& client : {b.ann, b.bob, b.cleo})
            client->setAuthorized(std::find(c.authorised.begin(), c.authorised.end(),
                                            client->displayName()) != c.authorised.end());
        auto pdf = b.dir.write("Quarterly report.pdf", 5000);
        b.host->printDocument(pdf);
        if (c.target.empty()) {
            EXPECT_EQ(b.h.notifier.posted().back(),
                      (RecordingNotifier::Posted{
                          "Nothing to print to",
                          "Connect from your iPhone or iPad first, then print with Orvane "
                          "again."}));
            EXPECT_FALSE(std::filesystem::exists(pdf));
            continue;
        }
        EXPECT_EQ(b.h.notifier.posted().back(),
                  (RecordingNotifier::Posted{"Printing on " + c.target, "Quarterly report"}))
            << c.what;
        for (const auto& client : {b.ann, b.bob, b.cleo}) {
            auto offers = bodies<FileOffer>(client, MessageType::fileOffer);
            EXPECT_EQ(offers.size(), client->displayName() == c.target ? 1u : 0u) << c.what;
            if (!offers.empty()) {
                EXPECT_EQ(offers[0].purpose, "print");
            }
        }
        EXPECT_TRUE(std::filesystem::exists(pdf)) << c.what;
        for (const auto& client : {b.ann, b.bob, b.cleo}) b.connection(client)->completeAll();
        b.h.rt.drain();
        EXPECT_FALSE(std::filesystem::exists(pdf)) << c.what;
    }
}

TEST(ExchangeReceive, CompletedFilesAreListedNewestFirstKeepingFive) {
    ExchangeBench b;
    ASSERT_TRUE(b.h.files.onReceived);
    for (int i = 1; i <= 6; ++i) {
        // As the inbox reports it, from the connection's queue.
        b.h.files.onReceived(b.dir / ("file" + std::to_string(i) + ".txt"), b.ann);
        b.h.rt.drain();
    }
    std::vector<std::string> names;
    for (const auto& f : b.host->receivedFiles()) {
        names.push_back(f.url.filename().string());
        EXPECT_EQ(f.from, "Ann");
    }
    EXPECT_EQ(names, (std::vector<std::string>{"file6.txt", "file5.txt", "file4.txt", "file3.txt",
                                               "file2.txt"}));
    EXPECT_EQ(b.count(Field::receivedFiles), 6u);
    EXPECT_EQ(b.h.notifier.posted().back(),
              (RecordingNotifier::Posted{"Received file6.txt",
                                         "From Ann \u00b7 saved to Downloads \u203a Orvane"}));
}

TEST(ExchangeLogin, ToggleFollowsTheItemsStatus) {
    struct Case {
        const char* what;
        bool on;
        std::optional<std::string> failure;
        std::optional<LoginItem::Status> forced;
        bool field;
        std::optional<std::string> banner;
    } cases[] = {
        {"switched on", true, {}, {}, true, std::nullopt},
        {"switched off", false, {}, {}, false, std::nullopt},
        {"cannot write", true, "no space", {}, false, "Couldn't change Open at Login: no space"},
        {"needs approval",
         true,
         {},
         LoginItem::Status::requiresApproval,
         false,
         "Switch on Orvane Host in System Settings \u203a General \u203a Login Items."},
    };
    for (const auto& c : cases) {
        ExchangeBench b;
        b.host->setLastError("an older problem");
        b.h.loginItem.failure = c.failure;
        b.h.loginItem.forced = c.forced;
        b.host->setLaunchAtLogin(c.on);
        EXPECT_EQ(b.host->launchAtLogin(), c.field) << c.what;
        EXPECT_EQ(b.host->lastError(), c.banner) << c.what;
    }
    HostHarness h;
    h.loginItem.registered = true;
    EXPECT_TRUE(h.make()->launchAtLogin());
}

TEST(ExchangeDisplays, NamesComeFromTheScreens) {
    ExchangeBench b;
    EXPECT_EQ(b.host->displayName(1), "Built-in Display");
    EXPECT_EQ(b.host->displayName(4000000000u), "Display 4000000000");
}

}  // namespace
}  // namespace orvane
