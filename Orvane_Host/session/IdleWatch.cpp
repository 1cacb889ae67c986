#include "Orvane_Host/session/IdleWatch.h"

#include "OrvaneKit/base/Logger.h"

namespace orvane {

namespace {

constexpr auto idlePeriod = std::chrono::seconds(5);
constexpr auto silenceLimit = std::chrono::seconds(20);
const Logger log{"com.nimbrel.kelsap.host", "net"};

}  // namespace

IdleWatch::IdleWatch(const SessionServices& services, std::weak_ptr<void> core, Host& host)
    : SessionPart(services, std::move(core)), host_(host) {}

void IdleWatch::start() {
    onMainActor();
    if (timer_) return;
    std::uint64_t generation = ++generation_;
    timer_ = s_.timers.every(idlePeriod, s_.mainActor.executor(),
                             whileAlive([this, generation] { tick(generation); }));
}

void IdleWatch::stop() {
    timer_.cancel();
    timer_ = {};
}

void IdleWatch::tick(std::uint64_t generation) {
    if (generation != generation_ || !timer_) return;
    auto list = host_.viewers();
    if (list.empty()) {
        stop();
        return;
    }
    auto now = s_.clock.monoNow();
    for (const auto& c : list) {
        if (now - c->lastHeard() <= silenceLimit) continue;
        log.notice("dropping silent viewer");
        // A peer that does not answer gets no bye.
        c->endReason = silentReason;
        c->connection->cancel();
        host_.removeClient(c, std::nullopt);
    }
    std::int64_t minutes = host_.idleTimeoutMinutes();
    if (minutes <= 0) return;
    // Limits too large for the clock mean no limit.
    constexpr std::int64_t maxMinutes =
        std::chrono::duration_cast<std::chrono::minutes>(MonoTime::duration::max()).count() / 2;
    if (minutes > maxMinutes) return;
    auto limit = std::chrono::minutes(minutes);
    std::string reason =
        "Disconnected after " + std::to_string(minutes) + " minutes of no activity.";
    for (const auto& c : list)
        if (now - c->lastActivity() > limit) host_.endSession(c, reason);
}

}  // namespace orvane
