#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace orvane {

// Limits how often one peer may try access codes: `maxAttempts` failures within `window`
// seconds block the key for `lockout` seconds. Times are seconds on any monotonic scale the
// owner chooses (the host passes its monotonic clock); the guard keeps no clock and no lock, so
// its owner serialises the calls.
//
// Keys are peer address texts; an IPv4-mapped IPv6 text counts as its IPv4 address.
struct BruteForceGuard {
    // The host's values: five wrong codes within ten minutes block for fifteen.
    static constexpr int hostMaxAttempts = 5;
    static constexpr double hostWindow = 600;
    static constexpr double hostLockout = 900;
    // Keys beyond this are let go, those closest to being forgotten first, so a peer cycling
    // through addresses cannot grow the tables without limit.
    static constexpr std::size_t defaultMaxKeys = 4096;

    int maxAttempts;
    double window;
    double lockout;
    std::size_t maxKeys = defaultMaxKeys;
    // Failures still counted, oldest first; the end of each key's last block.
    std::unordered_map<std::string, std::vector<double>> attempts;
    std::unordered_map<std::string, double> blockedUntil;

    BruteForceGuard(int maxAttempts_, double window_, double lockout_)
        : maxAttempts(maxAttempts_), window(window_), lockout(lockout_) {}
    static BruteForceGuard forHost() { return {hostMaxAttempts, hostWindow, hostLockout}; }

    // True while the key's block ends later than `now`.
    bool isBlocked(const std::string& key, double now) const;
    // Records one failure; true exactly when this one blocked the key.
    bool recordFailure(const std::string& key, double now);
    void reset(const std::string& key);

private:
    void prune(double now);
    void enforceCap(const std::string& keep);
};

}  // namespace orvane
