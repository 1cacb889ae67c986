#include "OrvaneKit/security/BruteForceGuard.h"

#include <gtest/gtest.h>

#include <string>

namespace orvane {
namespace {

TEST(BruteForceGuard, HostWindowAndLockout) {
    struct Step {
        double at;
        bool blocks;
    };
    struct Row {
        const char* name;
        std::vector<Step> failures;
        std::vector<std::pair<double, bool>> blockedAt;
    };
    const std::vector<Row> rows = {
        {"fifth within the window blocks until 1300 s",
         {{0, false}, {100, false}, {200, false}, {300, false}, {400, true}},
         {{400, true}, {1299, true}, {1300, false}}},
        {"a failure 650 s old no longer counts",
         {{0, false}, {100, false}, {200, false}, {300, false}, {650, false}},
         {{650, false}}},
        {"exactly one window apart drops the earlier one",
         {{0, false}, {600, false}, {601, false}, {602, false}, {603, false}, {604, true}},
         {{604, true}}},
        {"after a block ends, four do not block and the fifth does",
         {{0, false},
          {1, false},
          {2, false},
          {3, false},
          {4, true},
          {1000, false},
          {1001, false},
          {1002, false},
          {1003, false},
          {1004, true}},
         {{1004, true}, {1903, true}, {1904, false}}},
        {"a failure while blocked starts a new count",
         {{0, false},
          {1, false},
          {2, false},
          {3, false},
          {4, true},
          {10, false},
          {11, false},
          {12, false},
          {13, false},
          {14, true}},
         {{904, true}, {913, true}, {914, false}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto guard = BruteForceGuard::forHost();
        for (const auto& f : row.failures)
            EXPECT_EQ(guard.recordFailure("192.0.2.7", f.at), f.blocks) << f.at;
        for (const auto& [at, blocked] : row.blockedAt)
            EXPECT_EQ(guard.isBlocked("192.0.2.7", at), blocked) << at;
        EXPECT_FALSE(guard.isBlocked("192.0.2.8", 0));  // never seen
    }
}

TEST(BruteForceGuard, ResetAndMappedAddresses) {
    auto guard = BruteForceGuard::forHost();
    for (int i = 0; i < 4; ++i) guard.recordFailure("::ffff:192.0.2.7", i);
    // The same peer seen through a dual-stack socket and a plain one is one key.
    EXPECT_TRUE(guard.recordFailure("192.0.2.7", 5));
    EXPECT_TRUE(guard.isBlocked("::FFFF:192.0.2.7", 6));
    guard.reset("192.0.2.7");
    EXPECT_FALSE(guard.isBlocked("192.0.2.7", 6));
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(guard.recordFailure("192.0.2.7", 10 + i));
    EXPECT_TRUE(guard.recordFailure("192.0.2.7", 20));
}

TEST(BruteForceGuard, ForgottenKeysArePrunedAndTheTablesAreCapped) {
    auto guard = BruteForceGuard::forHost();
    for (int i = 0; i < 5; ++i) guard.recordFailure("blocked", i);
    for (int i = 0; i < 100; ++i) guard.recordFailure("2001:db8::" + std::to_string(i), 10);
    EXPECT_EQ(guard.attempts.size(), 100u);
    // Long after: every old failure has aged out and the block has ended.
    guard.recordFailure("new", 5000);
    EXPECT_EQ(guard.attempts.size(), 1u);
    EXPECT_TRUE(guard.blockedUntil.empty());

    // A flood of fresh keys never lifts a block and never grows the tables past the cap.
    BruteForceGuard small(5, 600, 900);
    small.maxKeys = 16;
    for (int i = 0; i < 5; ++i) small.recordFailure("attacker", i);
    for (int i = 0; i < 1000; ++i) small.recordFailure("k" + std::to_string(i), 10 + i * 0.1);
    EXPECT_LE(small.attempts.size() + small.blockedUntil.size(), 16u);
    EXPECT_TRUE(small.isBlocked("attacker", 200));
    EXPECT_EQ(small.attempts.count("k999"), 1u);  // the newest stays
}

}  // namespace
}  // namespace orvane
