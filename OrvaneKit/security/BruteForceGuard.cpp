#include "OrvaneKit/security/BruteForceGuard.h"

#include <algorithm>

#include "OrvaneKit/reach/ConnectionRoute.h"

namespace orvane {

bool BruteForceGuard::isBlocked(const std::string& key, double now) const {
    auto it = blockedUntil.find(normalizedHostText(key));
    return it != blockedUntil.end() && it->second > now;
}

bool BruteForceGuard::recordFailure(const std::string& rawKey, double now) {
    const std::string key = normalizedHostText(rawKey);
    prune(now);
    auto& list = attempts[key];
    std::erase_if(list, [&](double at) { return !(now - at < window); });
    list.push_back(now);
    if (list.size() < static_cast<std::size_t>(std::max(maxAttempts, 1))) {
        enforceCap(key);
        return false;
    }
    blockedUntil[key] = now + lockout;
    attempts.erase(key);
    enforceCap(key);
    return true;
}

void BruteForceGuard::reset(const std::string& rawKey) {
    const std::string key = normalizedHostText(rawKey);
    attempts.erase(key);
    blockedUntil.erase(key);
}

// Keys whose failures have all aged out and whose block is over behave exactly like keys never
// seen, so dropping them changes no answer.
void BruteForceGuard::prune(double now) {
    for (auto it = attempts.begin(); it != attempts.end();) {
        std::erase_if(it->second, [&](double at) { return !(now - at < window); });
        it = it->second.empty() ? attempts.erase(it) : std::next(it);
    }
    std::erase_if(blockedUntil, [&](const auto& entry) { return !(entry.second > now); });
}

// Over the cap, counting keys go before blocked ones (a flood of fresh addresses must not lift
// a block); within each kind, the one that would be forgotten soonest goes first.
void BruteForceGuard::enforceCap(const std::string& keep) {
    auto total = [&] {
        std::size_t n = attempts.size();
        for (const auto& entry : blockedUntil)
            if (!attempts.contains(entry.first)) ++n;
        return n;
    };
    std::size_t count = total();
    while (count > maxKeys && attempts.size() > (attempts.contains(keep) ? 1u : 0u)) {
        auto victim = attempts.end();
        for (auto it = attempts.begin(); it != attempts.end(); ++it) {
            if (it->first == keep || it->second.empty() || blockedUntil.contains(it->first))
                continue;
            if (victim == attempts.end() || it->second.back() < victim->second.back()) victim = it;
        }
        if (victim == attempts.end()) break;
        attempts.erase(victim);
        --count;
    }
    while (count > maxKeys && blockedUntil.size() > (blockedUntil.contains(keep) ? 1u : 0u)) {
        auto victim = blockedUntil.end();
        for (auto it = blockedUntil.begin(); it != blockedUntil.end(); ++it) {
            if (it->first == keep) continue;
            if (victim == blockedUntil.end() || it->second < victim->second) victim = it;
        }
        if (victim == blockedUntil.end()) break;
        attempts.erase(victim->first);
        blockedUntil.erase(victim);
        --count;
    }
}

}  // namespace orvane
