// The screen end to end: the real host captures a private Xvfb, encodes and seals it, and
// orvane-peer writes what it receives to a file that FFmpeg decodes into the painted picture.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "OrvaneKit/security/AccessCode.h"
#include "OrvaneKit/security/Keychain.h"
#include "Orvane_Host/capture/testing/X11TestPainter.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"
#include "tests/support/HostHome.h"
#include "tests/support/ViewerPeer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

// The RGB of pixel (x, y) of the last frame FFmpeg decodes from an Annex B file; none when it
// cannot decode one.
std::optional<std::array<int, 3>> decodedPixel(const std::filesystem::path& file, int width, int x,
                                               int y) {
    std::string cmd = "ffmpeg -v error -i '" + file.string() +
                      "' -update 1 -f rawvideo -pix_fmt rgb24 - 2>/dev/null";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string frame;
    char buffer[1 << 16];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        frame.append(buffer, n);
    ::pclose(pipe);
    const std::size_t at = (static_cast<std::size_t>(y) * width + x) * 3;
    if (frame.size() < at + 3) return std::nullopt;
    return std::array<int, 3>{static_cast<unsigned char>(frame[at]),
                              static_cast<unsigned char>(frame[at + 1]),
                              static_cast<unsigned char>(frame[at + 2])};
}

TEST(X11HostStreaming, ViewerReceivesTheDisplayAsVideoThatDecodesToWhatIsPainted) {
    for (const auto& b : {HostHome::hostBinary, HostHome::peerBinary})
        if (!std::filesystem::exists(b)) GTEST_SKIP() << "not built: " << b;
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ffmpeg";
    XvfbServer server;
    if (!server.start(640, 480)) GTEST_SKIP() << "no X server: " << server.error();
    X11TestPainter painter(server.display(), 0, 0, 640, 480);
    painter.fill(0, 0, 320, 480, 0xD02020);
    painter.fill(320, 0, 320, 480, 0x2040D0);
    painter.movePointer(639, 479);
    painter.flush();

    HostHome home;
    const std::string code = AccessCode::generate();
    ASSERT_TRUE(
        Keychain::set(code, "host.accessCode", "com.nimbrel.kelsap", false, {}, home.keychain()));
    home.settings().setBool("askBeforeConnecting", false);
    HostHome::Options options;
    options.display = server.display();
    auto host = home.start(options);
    ASSERT_NE(host.port, 0) << host.process->output();

    ViewerPeer viewer(home.dir(), "Watching Laptop");
    const auto video = home.dir() / "received.h264";
    auto peer = viewer.connect(host.port, code,
                               "forbid bye\nexpect helloAck 20\nexpect permissions\n"
                               "expect video 20\nwait 1500\nbye done\n",
                               {"--video-out", video.string(), "--media", "summary"});
    ASSERT_EQ(peer->waitExit(60s), 0) << peer->output() << host.process->output();

    auto left = decodedPixel(video, 640, 100, 240);
    auto right = decodedPixel(video, 640, 540, 240);
    ASSERT_TRUE(left && right) << "nothing decodable in " << video;
    // Video-range 4:2:0 moves colours a little; the two halves must still be what was painted.
    EXPECT_NEAR((*left)[0], 0xD0, 24);
    EXPECT_NEAR((*left)[2], 0x20, 24);
    EXPECT_NEAR((*right)[0], 0x20, 24);
    EXPECT_NEAR((*right)[2], 0xD0, 24);
}

}  // namespace
}  // namespace orvane
