#include "Orvane_Host/system/x11/X11Pasteboard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "OrvaneKit/files/testing/ScratchFolder.h"
#include "OrvaneKit/net/testing/ChildProcess.h"
#include "Orvane_Host/capture/testing/XvfbServer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

// A private X server with the xclip tool standing in for other programs.
class X11Pasteboard : public ::testing::Test {
protected:
    XvfbServer x;
    ScratchFolder dir;
    std::unique_ptr<orvane::X11Pasteboard> board;

    void SetUp() override {
        if (::access("/usr/bin/xclip", X_OK) != 0) GTEST_SKIP() << "xclip is not installed";
        if (!x.start(640, 480)) GTEST_SKIP() << x.error();
        board = orvane::X11Pasteboard::open(x.display());
        ASSERT_TRUE(board) << "no X connection";
    }

    // Another program copies `text`, offering it as `target`; xclip stays as its owner.
    void copyElsewhere(const std::string& text, const std::string& target = "UTF8_STRING") {
        auto file = dir / "clip.txt";
        std::ofstream(file, std::ios::binary) << text;
        auto [status, out] =
            ChildProcess::run({"/bin/sh", "-c",
                               "DISPLAY=" + x.display() + " xclip -selection clipboard -t " +
                                   target + " -i < '" + file.string() + "' > /dev/null 2>&1"},
                              "", 10s);
        ASSERT_EQ(status, 0) << out;
    }
    std::string pasteElsewhere(const std::string& target = "UTF8_STRING") {
        auto [status, out] = ChildProcess::run(
            {"/bin/sh", "-c",
             "DISPLAY=" + x.display() + " xclip -selection clipboard -t " + target + " -o"},
            "", 20s);
        EXPECT_EQ(status, 0) << out;
        return out;
    }
    bool waitForCount(std::int64_t count) {
        for (auto until = std::chrono::steady_clock::now() + 5s;
             std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(5ms))
            if (board->changeCount() >= count) return true;
        return false;
    }
};

TEST_F(X11Pasteboard, AnotherProgramsCopyIsCountedWithItsText) {
    struct Case {
        std::string copied, target, read;
    } cases[] = {
        {"plain words", "UTF8_STRING", "plain words"},
        {"caf\u00e9 \u2013 \u6771\u4eac", "UTF8_STRING", "caf\u00e9 \u2013 \u6771\u4eac"},
        {"caf\xe9", "STRING", "caf\u00e9"},  // Latin-1 only: read as UTF-8
    };
    std::int64_t count = board->changeCount();
    for (const auto& c : cases) {
        copyElsewhere(c.copied, c.target);
        ASSERT_TRUE(waitForCount(count + 1)) << c.read;
        count = board->changeCount();
        EXPECT_EQ(board->string(), c.read);
    }
}

TEST_F(X11Pasteboard, OwnWriteIsServedAndCountedOnce) {
    auto before = board->changeCount();
    auto after = board->clearAndSetString("from a viewer \u2713");
    EXPECT_EQ(after, before + 1);
    EXPECT_EQ(board->string(), "from a viewer \u2713");
    EXPECT_EQ(pasteElsewhere(), "from a viewer \u2713");
    EXPECT_EQ(pasteElsewhere("STRING"), "from a viewer ?");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(board->changeCount(), after);  // our own ownership change is not another copy

    copyElsewhere("taken over");
    ASSERT_TRUE(waitForCount(after + 1));
    EXPECT_EQ(board->string(), "taken over");
}

// Texts far above what one request carries go in pieces, both ways.
TEST_F(X11Pasteboard, LargeTextsTravelIncrementally) {
    std::string big;
    for (int i = 0; big.size() < 5'000'000; ++i) big += "line " + std::to_string(i) + "\n";
    auto count = board->changeCount();
    copyElsewhere(big);
    ASSERT_TRUE(waitForCount(count + 1));
    EXPECT_EQ(board->string(), big);

    std::string reply = big + "and back";
    board->clearAndSetString(reply);
    EXPECT_EQ(pasteElsewhere(), reply);
}

}  // namespace
}  // namespace orvane
