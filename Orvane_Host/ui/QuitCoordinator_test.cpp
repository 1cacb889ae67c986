#include "Orvane_Host/ui/QuitCoordinator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Orvane_Host/session/testing/HostHarness.h"
#include "Orvane_Host/ui/HostModel.h"

using namespace orvane;

namespace {

TEST(QuitCoordinator, FirstRequestShutsDownThenExitsASecondExitsAtOnce) {
    std::vector<std::string> calls;
    std::function<void()> finishShutdown;
    QuitCoordinator quit({[&](std::function<void()> done) {
                              calls.push_back("shutdown");
                              finishShutdown = std::move(done);
                          },
                          [&](int code) { calls.push_back("exit " + std::to_string(code)); },
                          [&] { calls.push_back("exit now"); }});
    EXPECT_FALSE(quit.isTerminating());
    quit.request();
    EXPECT_TRUE(quit.isTerminating());
    EXPECT_EQ(calls, (std::vector<std::string>{"shutdown"}));
    // The shutdown hangs: a second request does not wait for it.
    quit.request();
    EXPECT_EQ(calls, (std::vector<std::string>{"shutdown", "exit now"}));

    calls.clear();
    QuitCoordinator orderly({[&](std::function<void()> done) {
                                 calls.push_back("shutdown");
                                 done();
                             },
                             [&](int code) { calls.push_back("exit " + std::to_string(code)); },
                             [&] { calls.push_back("exit now"); }});
    orderly.request();
    EXPECT_EQ(calls, (std::vector<std::string>{"shutdown", "exit 0"}));
}

TEST(MenuBarSymbol, OnlyAClientLetInCounts) {
    HostHarness h;
    auto waiting = h.client("Ann");
    auto admitted = h.client("Bob");
    EXPECT_EQ(menuBarSymbol({}), "macbook.and.iphone");
    EXPECT_EQ(menuBarSymbol({waiting}), "macbook.and.iphone");
    admitted->setAuthorized(true);
    EXPECT_EQ(menuBarSymbol({waiting, admitted}), "dot.radiowaves.left.and.right");
}

}  // namespace
