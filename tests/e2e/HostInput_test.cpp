// Viewers' input end to end: orvane-peer drives the real host, whose display is a private Xvfb
// watched by an X client.
#include <gtest/gtest.h>

#include <filesystem>

#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "Orvane_Host/input/testing/X11InputObserver.h"
#include "Orvane_Host/session/TrustedDevice.h"
#include "tests/support/HostHome.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;
using Seen = X11InputObserver::Seen;

TEST(X11HostInput, ControllingViewersInputArrivesAndAScreenSharersNever) {
    for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
        if (!std::filesystem::exists(b)) GTEST_SKIP() << "not built: " << b;
    XvfbServer server;
    if (!server.start(1920, 1080)) GTEST_SKIP() << "no X server: " << server.error();
    X11InputObserver observer(server.display());

    HostHome home;
    const std::string code = AccessCode::generate();
    ASSERT_TRUE(
        Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {}, home.keychain()));
    ViewerPeer viewer(home.dir(), "Controlling Laptop"), sharer(home.dir(), "Sharing Phone");
    TrustedDevice::save(home.settings(),
                        {{viewer.fingerprint(), viewer.name(), ClientPlatform::mac},
                         {sharer.fingerprint(), sharer.name(), ClientPlatform::iPhone}});
    home.settings().setBool("unattendedAccess", true);
    home.setDisplay(server.display());
    auto host = home.start();
    ASSERT_NE(host.port, 0) << host.process->output();

    // A device sharing its own screen is let in but may not control: its "q" and its move to
    // the bottom-right corner must never arrive.
    auto sharing = sharer.connect(host.port, code,
                                  "forbid bye\nexpect helloAck 20\n"
                                  "send input {\"mouseMove\":{\"x\":0.9,\"y\":0.9}}\n"
                                  "send input {\"key\":{\"code\":12,\"down\":true,\"flags\":0}}\n"
                                  "send input {\"key\":{\"code\":12,\"down\":false,\"flags\":0}}\n"
                                  "send ping hex:01\nexpect pong\nbye done\n",
                                  {"--role", "screenSharer"});
    EXPECT_EQ(sharing->waitExit(40s), 0) << sharing->output();

    auto controlling =
        viewer.connect(host.port, code,
                       "forbid bye\nexpect helloAck 20\nexpect permissions\n"
                       "send input {\"mouseMove\":{\"x\":0.5,\"y\":0.25}}\n"
                       "send input {\"key\":{\"code\":0,\"down\":true,\"flags\":0}}\n"
                       "send input {\"key\":{\"code\":0,\"down\":false,\"flags\":0}}\n"
                       "closed 30\n");
    const bool arrived = observer.waitFor(
        [](const std::vector<Seen>& seen) {
            return !seen.empty() && seen.back().type == Seen::Type::keyRelease;
        },
        30s);
    ASSERT_TRUE(arrived) << controlling->output();

    std::vector<std::pair<int, int>> moves;
    std::string typed = observer.typedText();
    for (const Seen& s : observer.events())
        if (s.type == Seen::Type::motion) moves.emplace_back(s.x, s.y);
    EXPECT_EQ(typed, "a");
    EXPECT_EQ(moves, (std::vector<std::pair<int, int>>{{960, 270}}));
    EXPECT_EQ(observer.pointer(), (std::pair<int, int>{960, 270}));
    EXPECT_FALSE(observer.anyKeyDown());
}

}  // namespace
}  // namespace orvane
