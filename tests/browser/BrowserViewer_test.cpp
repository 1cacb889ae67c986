// Debian's chromium, headless and driven by playwright-core, against the browser viewer page:
// first against a browser server in this process fed real H.264 of a known picture, where the
// decoded canvas and every input message can be checked; then against the host binary.
#include <gtest/gtest.h>
#include <unistd.h>

#include <asio/thread_pool.hpp>
#include <filesystem>
#include <thread>

#include "OrvaneKit/net/testing/ChildProcess.h"
#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/browser/BrowserServer.h"
#include "Orvane_Host/browser/BrowserTLS.h"
#include "Orvane_Host/capture/testing/X11TestPainter.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/capture/x11/X11ScreenSource.h"
#include "Orvane_Host/input/testing/FakeInjector.h"
#include "Orvane_Host/input/testing/X11InputObserver.h"
#include "Orvane_Host/system/testing/FakeScreens.h"
#include "tests/support/CapturedVideo.h"
#include "tests/support/HostHome.h"
#include "tests/support/PatternVideo.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using E = InputEvent;

const fs::path scriptDir = ORVANE_SOURCE_DIR "/tests/browser";
const fs::path builtPage = ORVANE_BINARY_DIR "/resources/browser-viewer.html";
const fs::path artifacts = ORVANE_BINARY_DIR "/test-artifacts";

std::optional<std::string> unavailable() {
    if (::access("/usr/bin/chromium", X_OK) != 0) return "no /usr/bin/chromium";
    if (::access("/usr/bin/node", X_OK) != 0) return "no node";
    if (!fs::exists(scriptDir / "node_modules" / "playwright-core"))
        return "playwright-core not installed (npm ci in tests/browser)";
    if (!fs::exists(builtPage)) return "the viewer page is not built";
    return std::nullopt;
}

// Runs the page script to its end; its event lines, by name.
std::vector<json::Value> drive(const nlohmann::json& options, std::string* output = nullptr) {
    ChildProcess node({"/usr/bin/node", (scriptDir / "viewer.mjs").string(), options.dump()});
    node.closeStdin();
    node.waitExit(120s);
    std::vector<json::Value> events;
    std::istringstream lines(node.output());
    for (std::string line; std::getline(lines, line);)
        if (auto v = json::parse(line); v && v->is_object()) events.push_back(*v);
    if (output) *output = node.output();
    return events;
}

const json::Value* find(const std::vector<json::Value>& events, const std::string& name) {
    for (const auto& e : events)
        if (e.value("event", "") == name) return &e;
    return nullptr;
}

struct Rgb {
    int r, g, b;
};

TEST(BrowserViewer, DecodesTheStreamAndSendsPointerWheelKeysAndText) {
    if (auto why = unavailable()) GTEST_SKIP() << *why;
    if (::access("/usr/bin/openssl", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/openssl";
    const fs::path dir =
        fs::temp_directory_path() / ("orvane-browser-viewer-" + std::to_string(::getpid()));
    fs::create_directories(dir / "tmp");
    MemorySettingsStore settings;
    BrowserTLS tls({settings, dir / "id.p12", dir / "tmp", [] { return std::string("Test"); }});

    NetContext net(2);
    asio::thread_pool blocking(1);
    FakeScreens screens;
    screens.mainID = 7;
    screens.displays = std::vector<DisplayInfo>{{7, "Main", 640, 360}};
    CallLog calls;
    FakeInjector injector(calls);
    PatternVideo video;
    auto server = BrowserServer::make(
        {net, screens, injector, video, blocking.get_executor(), [&] { return tls.identity(); },
         []() -> std::optional<Bytes> { return toBytes(readFile(builtPage)); }, 0});
    const std::string code = AccessCode::generate();
    server->start(code);
    server->drain();
    ASSERT_TRUE(server->usesTLS());

    fs::create_directories(artifacts);
    std::string output;
    auto events = drive({{"url", "https://127.0.0.1:" + std::to_string(server->port()) + "/"},
                         {"wrongCode", "AAA-AAA-AAA-AAA"},
                         {"code", code},
                         {"waitFrames", 3},
                         {"samples", {{0.25, 0.25}, {0.75, 0.25}, {0.25, 0.75}, {0.75, 0.75}}},
                         {"actions", true},
                         {"text", "Hello, w\u00f6rld \u2713"},
                         {"screenshot", (artifacts / "browser-viewer.png").string()}},
                        &output);
    server->stop();
    server->drain();
    blocking.join();
    fs::remove_all(dir);

    ASSERT_TRUE(find(events, "done")) << output;
    EXPECT_EQ((*find(events, "loaded"))["webCodecs"], "function");
    ASSERT_TRUE(find(events, "refused")) << output;
    EXPECT_NE((*find(events, "refused"))["status"].get<std::string>().find("Refused"),
              std::string::npos);

    // The four quarters' colours, decoded by WebCodecs and drawn on the canvas.
    const auto& frames = *find(events, "frames");
    EXPECT_EQ(frames["width"], PatternVideo::width);
    EXPECT_EQ(frames["height"], PatternVideo::height);
    std::vector<Rgb> got;
    for (const auto& s : frames["samples"]) got.push_back({s[0], s[1], s[2]});
    ASSERT_EQ(got.size(), 4u);
    auto near = [](Rgb c, Rgb want) {
        return std::abs(c.r - want.r) < 48 && std::abs(c.g - want.g) < 48 &&
               std::abs(c.b - want.b) < 48;
    };
    const Rgb want[] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(near(got[i], want[i]))
            << "sample " << i << ": " << got[i].r << "," << got[i].g << "," << got[i].b;
    std::cout << "code submitted to first decoded frame: "
              << frames["submitToFirstFrameMs"].get<double>() << " ms\n";

    // Every input message reached the server's injector, on the streamed display.
    std::vector<InputEvent> in;
    for (const auto& [e, display] : injector.events) {
        in.push_back(e);
        EXPECT_EQ(display, 7u);
    }
    auto has = [&](const InputEvent& e) { return std::find(in.begin(), in.end(), e) != in.end(); };
    auto move = std::find_if(in.begin(), in.end(), [](const InputEvent& e) {
        auto* m = std::get_if<E::MouseMove>(&e);
        return m && std::abs(m->x - 0.25) < 0.01 && std::abs(m->y - 0.5) < 0.01;
    });
    EXPECT_NE(move, in.end());
    auto press = std::find_if(in.begin(), in.end(), [](const InputEvent& e) {
        auto* b = std::get_if<E::MouseButtonChange>(&e);
        return b && b->down && b->button == MouseButton::left && std::abs(b->x - 0.25) < 0.01 &&
               std::abs(b->y - 0.5) < 0.01;
    });
    EXPECT_NE(press, in.end());
    EXPECT_TRUE(std::any_of(in.begin(), in.end(), [](const InputEvent& e) {
        auto* b = std::get_if<E::MouseButtonChange>(&e);
        return b && !b->down && b->button == MouseButton::left;
    }));
    EXPECT_TRUE(has(E::Scroll{0, -100})) << "a wheel turn down scrolls down";
    const std::uint64_t shift = 0x20000;
    for (const auto& k : {E::Key{0, true, 0}, E::Key{0, false, 0}, E::Key{56, true, shift},
                          E::Key{11, true, shift}, E::Key{11, false, shift}, E::Key{56, false, 0},
                          E::Key{36, true, 0}, E::Key{36, false, 0}})
        EXPECT_TRUE(has(k)) << "key " << k.code << (k.down ? " down" : " up") << " flags "
                            << k.flags;
    EXPECT_TRUE(has(E::Text{"Hello, w\u00f6rld \u2713"}));
    EXPECT_TRUE(fs::exists(artifacts / "browser-viewer.png"));
    EXPECT_EQ(video.starts, 1);
}

// A picture painted on a private X server, captured, encoded and sent to the browser, shows its
// colours on the page's canvas.
TEST(BrowserX11Capture, PaintedColoursAppearOnTheCanvas) {
    if (auto why = unavailable()) GTEST_SKIP() << *why;
    XvfbServer x;
    if (!x.start(1920, 1080)) GTEST_SKIP() << "no X server: " << x.error();
    X11TestPainter painter(x.display(), 0, 0, 1920, 1080);
    const std::uint32_t colours[4] = {0xff0000, 0x00ff00, 0x0000ff, 0xffffff};
    painter.fill(0, 0, 960, 540, colours[0]);
    painter.fill(960, 0, 960, 540, colours[1]);
    painter.fill(0, 540, 960, 540, colours[2]);
    painter.fill(960, 540, 960, 540, colours[3]);
    painter.movePointer(1915, 1075);
    painter.flush();

    auto source = std::make_shared<X11ScreenSource>(x.display());
    FakeScreens screens;
    screens.displays = std::vector<DisplayInfo>{};
    for (const auto& d : source->displays()) {
        screens.displays->push_back({d.id, d.name, static_cast<std::int64_t>(d.width),
                                     static_cast<std::int64_t>(d.height)});
        if (d.primary) screens.mainID = d.id;
    }
    ASSERT_FALSE(screens.displays->empty());
    NetContext net(2);
    asio::thread_pool blocking(1);
    CallLog calls;
    FakeInjector injector(calls);
    CapturedVideo video(source, net);
    auto server =
        BrowserServer::make({net,
                             screens,
                             injector,
                             video,
                             blocking.get_executor(),
                             {},
                             []() -> std::optional<Bytes> { return toBytes(readFile(builtPage)); },
                             0});
    const std::string code = AccessCode::generate();
    server->start(code);
    server->drain();

    fs::create_directories(artifacts);
    std::string output;
    auto events = drive({{"url", "http://127.0.0.1:" + std::to_string(server->port()) + "/"},
                         {"code", code},
                         {"waitFrames", 1},
                         {"samples", {{0.25, 0.25}, {0.75, 0.25}, {0.25, 0.75}, {0.75, 0.75}}},
                         {"screenshot", (artifacts / "browser-x11.png").string()}},
                        &output);
    server->stop();
    server->drain();
    blocking.join();

    const auto* frames = find(events, "frames");
    ASSERT_TRUE(frames) << output;
    EXPECT_EQ((*frames)["width"], 1920);
    EXPECT_EQ((*frames)["height"], 1080);
    int i = 0;
    for (const auto& s : (*frames)["samples"]) {
        const int want[3] = {int(colours[i] >> 16), int((colours[i] >> 8) & 0xff),
                             int(colours[i] & 0xff)};
        for (int ch = 0; ch < 3; ++ch)
            EXPECT_NEAR(s[ch].get<int>(), want[ch], 48) << "quadrant " << i << " channel " << ch;
        ++i;
    }
    EXPECT_EQ(i, 4);
}

// The host binary on a private X server, its browser access on: chromium is refused a wrong
// code, then with the right one sees the painted screen and controls it: a click, a wheel turn,
// keys and text reach an X client on that display.
TEST(BrowserHost, ChromiumSeesThePaintedScreenAndItsInputReachesAnXClient) {
    if (auto why = unavailable()) GTEST_SKIP() << *why;
    if (!fs::exists(HostHome::hostBinary)) GTEST_SKIP() << "not built: " << HostHome::hostBinary;
    XvfbServer x;
    if (!x.start(1920, 1080)) GTEST_SKIP() << "no X server: " << x.error();
    // The observer's window covers the screen and holds the keyboard focus; the painted picture
    // covers only the top half, so clicks below it reach the observer.
    X11InputObserver observer(x.display());
    X11TestPainter painter(x.display(), 0, 0, 1920, 540);
    painter.fill(0, 0, 960, 540, 0xff0000);
    painter.fill(960, 0, 960, 540, 0x00ff00);
    painter.flush();

    HostHome home;
    const std::string code = AccessCode::generate();
    ASSERT_TRUE(
        Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {}, home.keychain()));
    home.settings().setBool("browserAccess", true);
    home.setDisplay(x.display());
    auto host = home.start();
    ASSERT_NE(host.port, 0) << host.process->output();
    ASSERT_TRUE(HostHome::waitForBrowser(host)) << host.process->output();

    fs::create_directories(artifacts);
    const std::string text = "Hello, w\u00f6rld \u2713";
    std::string output;
    auto events = drive({{"url", "https://127.0.0.1:" + std::to_string(host.browserPort) + "/"},
                         {"wrongCode", "BBB-BBB-BBB-BBB"},
                         {"code", code},
                         {"waitFrames", 1},
                         {"samples", {{0.25, 0.25}, {0.75, 0.25}}},
                         {"actions", true},
                         {"click", {0.25, 0.75}},
                         {"text", text},
                         {"screenshot", (artifacts / "browser-host.png").string()}},
                        &output);
    ASSERT_TRUE(find(events, "done")) << output;
    ASSERT_TRUE(find(events, "refused")) << output;
    const std::string log = readFile(home.logFile());
    EXPECT_NE(log.find("browser rejected: wrong or missing access code"), std::string::npos);
    EXPECT_NE(log.find("browser viewer connected (1 total)"), std::string::npos) << log;

    // The screen, captured at its own size, with the painted colours where they were painted.
    const auto* frames = find(events, "frames");
    ASSERT_TRUE(frames) << output;
    EXPECT_EQ((*frames)["width"], 1920);
    EXPECT_EQ((*frames)["height"], 1080);
    const int want[2][3] = {{255, 0, 0}, {0, 255, 0}};
    for (int i = 0; i < 2; ++i)
        for (int ch = 0; ch < 3; ++ch)
            EXPECT_NEAR((*frames)["samples"][i][ch].get<int>(), want[i][ch], 48)
                << "sample " << i << " channel " << ch;

    // The input, as an application on that display sees it.
    ASSERT_TRUE(observer.waitFor(
        [&](const std::vector<X11InputObserver::Seen>& seen) {
            return X11InputObserver::textOf(seen) == "aB\n" + text;
        },
        20s))
        << observer.typedText();
    using Seen = X11InputObserver::Seen;
    auto seen = observer.events();
    auto press = std::find_if(seen.begin(), seen.end(), [](const Seen& s) {
        return s.type == Seen::Type::buttonPress && s.button == 1;
    });
    ASSERT_NE(press, seen.end());
    EXPECT_NEAR(press->x, 480, 2);
    EXPECT_NEAR(press->y, 810, 2);
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const Seen& s) {
        return s.type == Seen::Type::buttonRelease && s.button == 1;
    }));
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const Seen& s) {
        return s.type == Seen::Type::buttonPress && s.button == 5;
    })) << "a wheel turn down";
    EXPECT_FALSE(observer.anyKeyDown());
    EXPECT_FALSE(observer.anyButtonDown());
    EXPECT_TRUE(fs::exists(artifacts / "browser-host.png"));
}

}  // namespace
}  // namespace orvane
