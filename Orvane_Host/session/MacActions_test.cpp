#include "Orvane_Host/session/MacActions.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <fstream>
#include <thread>

#include "OrvaneKit/base/testing/FakeClock.h"
#include "OrvaneKit/media/FrameBuffer.h"
#include "OrvaneKit/protocol/Json.h"
#include "Orvane_Host/capture/FrameConverter.h"
#include "Orvane_Host/input/testing/FakeInjector.h"
#include "Orvane_Host/session/RemoteClient.h"
#include "Orvane_Host/session/testing/FakeConnection.h"
#include "Orvane_Host/system/testing/FakeActionBackends.h"
#include "Orvane_Host/system/testing/FakePowerActions.h"
#include "Orvane_Host/system/testing/FakeProcessRunner.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A frame of one colour (0xRRGGBB), converted as capture converts.
std::shared_ptr<FrameBuffer> solidFrame(PixelFormat format, int w, int h, std::uint32_t rgb) {
    std::vector<std::uint8_t> bgrx(static_cast<std::size_t>(w) * h * 4);
    for (std::size_t i = 0; i < bgrx.size(); i += 4) {
        bgrx[i] = rgb & 0xff;
        bgrx[i + 1] = (rgb >> 8) & 0xff;
        bgrx[i + 2] = (rgb >> 16) & 0xff;
    }
    auto frame = FrameBuffer::make(format, w, h);
    FrameConverter::convertUnscaled(bgrx.data(), w * 4, *frame);
    return frame;
}

TextObservation at(std::string text, double x, double y) {
    return {std::move(text), x, y, 0.1, 0.02};
}

struct MacActionsTest : ::testing::Test {
    asio::io_context work;  // the actions' executor, run by the test thread
    IoContextMainActor mainActor{work};
    FakeClock clock;
    CallLog calls;
    FakeInjector injector{calls};
    FakePowerActions power{calls};
    FakeProcessRunner processes;
    FakeTextRecognizer recognizer;
    FakeJpegEncoder jpeg;
    FakeFrontmostApp frontmost;
    fs::path root = fs::temp_directory_path() /
                    ("orvane-actions-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::path apps = root / "applications";
    fs::path shortcuts = root / "shortcuts";
    std::unique_ptr<MacActions> actions;

    void SetUp() override {
        fs::remove_all(root);
        fs::create_directories(apps);
        fs::create_directories(shortcuts);
        std::ofstream(apps / "org.example.Notes.desktop")
            << "[Desktop Entry]\nType=Application\nName=Notes\nExec=notes\n";
        actions = make(work.get_executor());
    }
    void TearDown() override { fs::remove_all(root); }

    std::unique_ptr<MacActions> make(asio::any_io_executor executor) {
        return std::make_unique<MacActions>(
            MacActions::Services{mainActor, clock, injector, power, power, processes, recognizer,
                                 jpeg, frontmost, executor},
            MacActions::Config{{apps}, shortcuts, "gio", "xdg-open"});
    }
    void runWork() {
        work.restart();
        work.run();
    }
    std::string reply(const MacCommand& command) {
        std::vector<std::string> replies;
        actions->runMacCommand(command, [&](std::string text) { replies.push_back(text); });
        runWork();
        return replies.size() == 1 ? replies[0]
                                   : "<" + std::to_string(replies.size()) + " replies>";
    }
    static std::shared_ptr<RemoteClient> client(const FakeClock& clock) {
        return RemoteClient::make(std::make_shared<FakeConnection>(), clock, 1);
    }
    static std::shared_ptr<FakeConnection> connectionOf(const std::shared_ptr<RemoteClient>& c) {
        return std::static_pointer_cast<FakeConnection>(c->connection);
    }
};

TEST_F(MacActionsTest, CommandsReplyWithTheirResultAndRunOnlyWhatTheyShould) {
    const std::string notes = (apps / "org.example.Notes.desktop").string();
    const std::string backup = (shortcuts / "Backup").string();
    struct Case {
        MacCommand command;
        std::map<std::string, int> exits;
        std::string reply;
        std::vector<std::string> started;
    } cases[] = {
        {MacCommand::OpenApp{"Notes"}, {}, "Opened Notes.", {"gio [launch] [" + notes + "]"}},
        {MacCommand::OpenApp{"notes"}, {}, "Opened notes.", {"gio [launch] [" + notes + "]"}},
        {MacCommand::OpenApp{"Notes"},
         {{"gio", 1}},
         "Couldn't find an app called Notes.",
         {"gio [launch] [" + notes + "]"}},
        {MacCommand::OpenApp{"Numbers"}, {}, "Couldn't find an app called Numbers.", {}},
        {MacCommand::OpenApp{"../applications/org.example.Notes"},
         {},
         "Couldn't find an app called ../applications/org.example.Notes.",
         {}},
        {MacCommand::OpenURL{"example.com/a?b=1"},
         {},
         "Opened https://example.com/a?b=1.",
         {"xdg-open [https://example.com/a?b=1]"}},
        {MacCommand::OpenURL{"HTTP://Example.com"},
         {},
         "Opened HTTP://Example.com.",
         {"xdg-open [HTTP://Example.com]"}},
        {MacCommand::OpenURL{"localhost:8080"},
         {},
         "Opened https://localhost:8080.",
         {"xdg-open [https://localhost:8080]"}},
        {MacCommand::OpenURL{"https://[::1]:8443/x"},
         {},
         "Opened https://[::1]:8443/x.",
         {"xdg-open [https://[::1]:8443/x]"}},
        // The opener's own failure makes no difference.
        {MacCommand::OpenURL{"https://a.example"},
         {{"xdg-open", 4}},
         "Opened https://a.example.",
         {"xdg-open [https://a.example]"}},
        {MacCommand::OpenURL{"ftp://example.com"}, {}, "That isn't a web address.", {}},
        {MacCommand::OpenURL{"file:///etc/passwd"}, {}, "That isn't a web address.", {}},
        {MacCommand::OpenURL{"javascript:alert(1)"}, {}, "That isn't a web address.", {}},
        {MacCommand::OpenURL{"https://exa mple.com"}, {}, "That isn't a web address.", {}},
        {MacCommand::OpenURL{"https://"}, {}, "That isn't a web address.", {}},
        {MacCommand::OpenURL{""}, {}, "That isn't a web address.", {}},
        {MacCommand::OpenURL{"-x://y"}, {}, "That isn't a web address.", {}},
        {MacCommand::RunShortcut{"Backup"}, {}, "Ran the \u201CBackup\u201D shortcut.", {backup}},
        {MacCommand::RunShortcut{"Backup"},
         {{backup, 1}},
         "Couldn't run a shortcut called \u201CBackup\u201D.",
         {backup}},
        {MacCommand::RunShortcut{"My Backup's \"best\""},
         {},
         "Ran the \u201CMy Backup's \"best\"\u201D shortcut.",
         {(shortcuts / "My Backup's \"best\"").string()}},
    };
    for (const auto& c : cases) {
        processes.clear();
        processes.exitStatus = c.exits;
        EXPECT_EQ(reply(c.command), c.reply) << c.reply;
        EXPECT_EQ(processes.started(), c.started) << c.reply;
    }
}

TEST_F(MacActionsTest, ShortcutNamesThatCouldLeaveTheFolderAreRefused) {
    for (std::string name :
         {std::string(), std::string("../bin/sh"), std::string("a/b"), std::string("/bin/sh"),
          std::string(".hidden"), std::string(".."), std::string("ok\0/../../x", 11)}) {
        EXPECT_EQ(reply(MacCommand::RunShortcut{name}),
                  "Couldn't run a shortcut called \u201C" + name + "\u201D.");
    }
    EXPECT_TRUE(processes.started().empty());
}

TEST_F(MacActionsTest, TheChatReplyGoesToTheAskingClientOnly) {
    auto asking = client(clock), other = client(clock);
    actions->performMacCommand(MacCommand::OpenApp{"Numbers"}, asking);
    runWork();
    auto sent = connectionOf(asking)->sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, MessageType::chat);
    auto chat = json::decode<ChatMessage>(sent[0].body);
    ASSERT_TRUE(chat);
    EXPECT_EQ(chat->text, "Couldn't find an app called Numbers.");
    EXPECT_EQ(chat->sender, "Mac");
    EXPECT_EQ(chat->sentAt, Date::fromTimePoint(clock.wallNow()));
    EXPECT_TRUE(connectionOf(other)->sent().empty());

    actions->performMacCommand(MacCommand::OpenApp{"Numbers"}, asking);
    runWork();
    auto again = json::decode<ChatMessage>(connectionOf(asking)->sent().at(1).body);
    EXPECT_NE(again->id, chat->id);
}

TEST_F(MacActionsTest, AHungCommandHoldsUpOnlyItsOwnClientsLaterRequests) {
    asio::thread_pool pool(2);
    auto threaded = make(pool.get_executor());
    processes.holdExits = true;
    auto a = client(clock), b = client(clock);
    threaded->performMacCommand(MacCommand::RunShortcut{"Slow"}, a);
    threaded->replyScreenshot(a, nullptr);
    threaded->replyScreenText(a, nullptr);
    threaded->replyScreenshot(b, nullptr);

    auto waitFor = [](const std::function<bool()>& pred) {
        for (auto until = std::chrono::steady_clock::now() + 10s;
             std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(1ms))
            if (pred()) return true;
        return false;
    };
    EXPECT_TRUE(waitFor([&] { return connectionOf(b)->sent().size() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(connectionOf(a)->sent().empty());

    processes.finishAll();
    ASSERT_TRUE(waitFor([&] { return connectionOf(a)->sent().size() == 3; }));
    auto sent = connectionOf(a)->sent();
    EXPECT_EQ(sent[0].type, MessageType::chat);
    EXPECT_EQ(sent[1].type, MessageType::screenshot);
    EXPECT_EQ(sent[2].type, MessageType::screenText);
    pool.join();
}

TEST_F(MacActionsTest, PowerCommands) {
    // Lock: held keys are let go, then the session locks; no key reaches the focused window.
    actions->performPowerCommand(HostAction::lockScreen);
    EXPECT_EQ(calls.calls(), (std::vector<std::string>{"injector.releaseAll", "power.lockScreen"}));
    EXPECT_TRUE(injector.events.empty());

    // The others leave the main actor at once and run on the work executor.
    calls.clear();
    actions->performPowerCommand(HostAction::sleepDisplay);
    actions->performPowerCommand(HostAction::restart);
    EXPECT_TRUE(calls.calls().empty());
    runWork();
    EXPECT_EQ(calls.calls(), (std::vector<std::string>{"power.sleepDisplay", "power.restart"}));
    EXPECT_TRUE(injector.events.empty());
}

TEST_F(MacActionsTest, ScreenTextInReadingOrder) {
    // Pairs that differ in height by less than 0.01 are one line, read left to right.
    EXPECT_TRUE(MacActions::screenTextOrder(at("left", 0.1, 0.500), at("right", 0.6, 0.505)));
    EXPECT_FALSE(MacActions::screenTextOrder(at("right", 0.6, 0.505), at("left", 0.1, 0.500)));
    EXPECT_TRUE(MacActions::screenTextOrder(at("high", 0.6, 0.52), at("low", 0.1, 0.50)));
    EXPECT_FALSE(MacActions::screenTextOrder(at("low", 0.1, 0.50), at("high", 0.6, 0.52)));

    struct Case {
        const char* what;
        std::vector<TextObservation> seen;
        std::vector<std::string> read;
    } cases[] = {
        {"0.005 apart: left to right", {at("B", 0.6, 0.505), at("A", 0.1, 0.500)}, {"A", "B"}},
        {"0.02 apart: the higher first",
         {at("low", 0.1, 0.50), at("high", 0.6, 0.52)},
         {"high", "low"}},
        {"columns and rows",
         {at("r2c2", 0.5, 0.40), at("r1c2", 0.5, 0.80), at("r2c1", 0.1, 0.402),
          at("r1c1", 0.1, 0.798), at("title", 0.3, 0.95)},
         {"title", "r1c1", "r1c2", "r2c1", "r2c2"}},
        // Each within 0.01 of the next, but the ends 0.016 apart: a row is measured from its top.
        {"a slanted chain",
         {at("c", 0.3, 0.484), at("a", 0.9, 0.500), at("b", 0.5, 0.492)},
         {"b", "a", "c"}},
        {"empty texts are left out", {at("", 0.1, 0.9), at("x", 0.1, 0.5)}, {"x"}},
    };
    for (const auto& c : cases) EXPECT_EQ(MacActions::readingOrder(c.seen), c.read) << c.what;
}

TEST_F(MacActionsTest, ScreenTextReply) {
    frontmost.set("Text Editor");
    auto asking = client(clock);
    auto replied = [&]() {
        runWork();
        auto sent = connectionOf(asking)->sent(MessageType::screenText);
        return sent.empty() ? std::nullopt : json::decode<ScreenText>(sent.back().body);
    };

    // No frame yet: no lines, and no recognition at all.
    actions->replyScreenText(asking, nullptr);
    EXPECT_EQ(replied(), (ScreenText{{}, "Text Editor"}));
    EXPECT_EQ(recognizer.calls, 0);

    // 450 lines, given bottom up: the first 400 from the top come back.
    std::vector<TextObservation> many;
    for (int i = 449; i >= 0; --i)
        many.push_back(at("line " + std::to_string(i), 0.1, 1 - i / 450.0));
    recognizer.result = many;
    frontmost.set(std::nullopt);
    auto frame = solidFrame(PixelFormat::nv12, 64, 48, 0xffffff);
    actions->replyScreenText(asking, frame);
    auto text = replied();
    ASSERT_TRUE(text);
    ASSERT_EQ(text->lines.size(), 400u);
    EXPECT_EQ(text->lines.front(), "line 0");
    EXPECT_EQ(text->lines.back(), "line 399");
    EXPECT_FALSE(text->frontmostApp);
    // The luma plane as it is: white in video range.
    EXPECT_EQ(recognizer.lastWidth, 64);
    EXPECT_EQ(recognizer.lastHeight, 48);
    EXPECT_EQ(recognizer.firstPixel, 235);

    // A failed recognition is no lines.
    recognizer.result = std::nullopt;
    frontmost.set("Files");
    actions->replyScreenText(asking, frame);
    EXPECT_EQ(replied(), (ScreenText{{}, "Files"}));

    // Ten-bit frames are read at eight bits.
    auto deep = FrameBuffer::make(PixelFormat::yuv420p10, 8, 8);
    deep->fillBlack();
    actions->replyScreenText(asking, deep);
    replied();
    EXPECT_EQ(recognizer.firstPixel, 16);
}

TEST_F(MacActionsTest, SnapshotReply) {
    auto asking = client(clock);
    auto body = [&] {
        runWork();
        return toString(connectionOf(asking)->sent(MessageType::screenshot).back().body);
    };
    actions->replyScreenshot(asking, nullptr);
    EXPECT_EQ(body(), "");

    // The encoder gets the picture in its own colours, within rounding through 4:2:0 video range.
    struct Case {
        PixelFormat format;
        std::uint32_t rgb;
    } cases[] = {
        {PixelFormat::nv12, 0xff0000},
        {PixelFormat::i420, 0x00ff00},
        {PixelFormat::i420, 0x0000ff},
        {PixelFormat::nv12, 0x808080},
    };
    for (const auto& c : cases) {
        actions->replyScreenshot(asking, solidFrame(c.format, 32, 18, c.rgb));
        EXPECT_EQ(body(), "jpeg");
        EXPECT_EQ(jpeg.width, 32);
        EXPECT_EQ(jpeg.height, 18);
        EXPECT_EQ(jpeg.quality, 85);
        for (int shift : {16, 8, 0})
            EXPECT_NEAR(int(jpeg.firstPixel >> shift & 0xff), int(c.rgb >> shift & 0xff), 3)
                << std::hex << c.rgb;
    }

    auto deep = FrameBuffer::make(PixelFormat::yuv420p10, 8, 8);
    deep->fillBlack();
    actions->replyScreenshot(asking, deep);
    EXPECT_EQ(body(), "jpeg");
    EXPECT_EQ(jpeg.firstPixel, 0u);

    jpeg.fail = true;
    actions->replyScreenshot(asking, solidFrame(PixelFormat::nv12, 32, 18, 0));
    EXPECT_EQ(body(), "");
}

}  // namespace
}  // namespace orvane
