// Ends viewers that went silent, and, with an idle limit set, viewers that stopped using the
// machine.

#include <limits>

#include "Orvane_Host/session/HostController.h"

namespace orvane {

namespace {

constexpr auto idlePeriod = std::chrono::seconds(5);
constexpr auto silenceLimit = std::chrono::seconds(20);

}  // namespace

void HostController::startIdleWatch() {
    onMainActor();
    if (idleWatch) return;
    std::uint64_t generation = ++idleGeneration_;
    std::weak_ptr<HostController> weak = weak_from_this();
    idleWatch = s_.timers.every(idlePeriod, s_.mainActor.executor(), [weak, generation] {
        if (auto self = weak.lock()) self->idleTick(generation);
    });
}

void HostController::idleTick(std::uint64_t generation) {
    if (generation != idleGeneration_ || !idleWatch) return;
    auto list = viewers();
    if (list.empty()) {
        idleWatch.cancel();
        idleWatch = {};
        return;
    }
    auto now = s_.clock.monoNow();
    for (const auto& c : list) {
        if (now - c->lastHeard() <= silenceLimit) continue;
        log.notice("dropping silent viewer");
        // A peer that does not answer gets no bye.
        c->endReason = silentReason;
        c->connection->cancel();
        removeClient(c);
    }
    std::int64_t minutes = idleTimeoutMinutes_;
    if (minutes <= 0) return;
    // Limits too large for the clock mean no limit.
    constexpr std::int64_t maxMinutes =
        std::chrono::duration_cast<std::chrono::minutes>(MonoTime::duration::max()).count() / 2;
    if (minutes > maxMinutes) return;
    auto limit = std::chrono::minutes(minutes);
    std::string reason =
        "Disconnected after " + std::to_string(minutes) + " minutes of no activity.";
    for (const auto& c : list)
        if (now - c->lastActivity() > limit) endSession(c, reason);
}

}  // namespace orvane
