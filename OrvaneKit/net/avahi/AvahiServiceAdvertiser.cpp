#include "OrvaneKit/net/avahi/AvahiServiceAdvertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

#include "OrvaneKit/base/Errors.h"
#include "OrvaneKit/base/Logger.h"

namespace orvane {

namespace {

const Logger& logger() {
    static const Logger l{"com.nimbrel.kelsap", "net"};
    return l;
}

// Enough for any realistic neighbourhood; a daemon that keeps reporting collisions beyond this
// is misbehaving, and looping on it would only flood the network.
constexpr int kMaxRenames = 50;
constexpr std::chrono::milliseconds kMaxBackoff{30'000};

}  // namespace

struct AvahiServiceAdvertiser::Glue {
    static void onWake(AvahiWatch*, int, AvahiWatchEvent, void* self) {
        static_cast<AvahiServiceAdvertiser*>(self)->applyWish();
    }
    static void onReconnect(AvahiTimeout*, void* p) {
        auto* self = static_cast<AvahiServiceAdvertiser*>(p);
        if (self->client_) avahi_client_free(self->client_);  // frees the group with it
        self->client_ = nullptr;
        self->group_ = nullptr;
        self->running_ = false;
        self->connect();
    }
    static void onClientState(AvahiClient* c, AvahiClientState state, void* p) {
        auto* self = static_cast<AvahiServiceAdvertiser*>(p);
        // Called from inside avahi_client_new too, before it has returned the pointer.
        self->client_ = c;
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                self->running_ = true;
                self->backoff_ = {};
                if (self->toldNoDaemon_) logger().notice("mDNS daemon available");
                self->toldNoDaemon_ = false;
                if (self->applied_) {
                    // A fresh start: the name asked for may be free again.
                    self->currentName_ = fitServiceName(self->applied_->name);
                    self->renames_ = 0;
                    self->registerService(false);
                }
                break;
            case AVAHI_CLIENT_S_REGISTERING:
            case AVAHI_CLIENT_S_COLLISION:
                // The daemon is renaming the machine itself; our records go back in once it runs.
                self->running_ = false;
                if (self->group_) avahi_entry_group_reset(self->group_);
                if (self->applied_) self->setState(State::Phase::registering);
                break;
            case AVAHI_CLIENT_CONNECTING:
                self->running_ = false;
                if (!self->toldNoDaemon_) {
                    logger().notice("mDNS daemon not running; advertising once it starts");
                    self->toldNoDaemon_ = true;
                }
                if (self->applied_) self->setState(State::Phase::waitingForDaemon);
                break;
            case AVAHI_CLIENT_FAILURE: {
                self->running_ = false;
                int err = avahi_client_errno(c);
                if (err == AVAHI_ERR_DISCONNECTED) {
                    logger().notice("mDNS daemon went away; advertising again when it returns");
                    self->toldNoDaemon_ = true;
                    if (self->applied_) self->setState(State::Phase::waitingForDaemon);
                    // The client is dead for good; a new one waits for the daemon to return.
                    self->scheduleReconnect(std::chrono::milliseconds(0));
                } else {
                    logger().error("mDNS client failed: {}; retrying", avahi_strerror(err));
                    if (self->applied_) self->setState(State::Phase::failed, avahi_strerror(err));
                    self->backoff_ = std::min(
                        kMaxBackoff, std::max(std::chrono::milliseconds(1000), self->backoff_ * 2));
                    self->scheduleReconnect(self->backoff_);
                }
                break;
            }
        }
    }
    static void onGroupState(AvahiEntryGroup* g, AvahiEntryGroupState state, void* p) {
        auto* self = static_cast<AvahiServiceAdvertiser*>(p);
        // Reports for a group we have already let go of, or before avahi_entry_group_new has
        // returned, say nothing about the current registration.
        if (g != self->group_ || !self->applied_) return;
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED:
                logger().info("advertising {} on port {} as \"{}\"", self->applied_->type,
                              self->applied_->port, self->currentName_);
                self->setState(State::Phase::registered);
                break;
            case AVAHI_ENTRY_GROUP_COLLISION:
                // Someone else on the network holds the name: take the next one, as Bonjour does.
                if (self->takeNextName()) self->registerService(true);
                break;
            case AVAHI_ENTRY_GROUP_FAILURE:
                self->fail("registration failed",
                           avahi_client_errno(avahi_entry_group_get_client(g)));
                break;
            case AVAHI_ENTRY_GROUP_UNCOMMITED:
            case AVAHI_ENTRY_GROUP_REGISTERING:
                break;
        }
    }
};

AvahiServiceAdvertiser::AvahiServiceAdvertiser() {
    poll_ = avahi_threaded_poll_new();
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!poll_ || wakeFd_ < 0) {
        int err = errno;
        if (poll_) avahi_threaded_poll_free(poll_);
        if (wakeFd_ >= 0) ::close(wakeFd_);
        throw PlatformError("avahi", err, "cannot set up the mDNS event loop");
    }
    const AvahiPoll* api = avahi_threaded_poll_get(poll_);
    wakeWatch_ = api->watch_new(api, wakeFd_, AVAHI_WATCH_IN, &Glue::onWake, this);
    reconnectTimer_ = api->timeout_new(api, nullptr, &Glue::onReconnect, this);
    // The first connection is made on the event thread, so constructing never waits for D-Bus.
    scheduleReconnect(std::chrono::milliseconds(0));
    if (avahi_threaded_poll_start(poll_) < 0) {
        api->watch_free(wakeWatch_);
        api->timeout_free(reconnectTimer_);
        avahi_threaded_poll_free(poll_);
        ::close(wakeFd_);
        throw PlatformError("avahi", 0, "cannot start the mDNS event thread");
    }
}

AvahiServiceAdvertiser::~AvahiServiceAdvertiser() {
    avahi_threaded_poll_stop(poll_);
    // The event thread is gone; everything below is ours alone. Freeing the client frees the
    // entry group, which tells the daemon to send its goodbyes.
    if (group_) logger().info("stopped advertising \"{}\"", currentName_);
    if (client_) avahi_client_free(client_);
    const AvahiPoll* api = avahi_threaded_poll_get(poll_);
    api->watch_free(wakeWatch_);
    api->timeout_free(reconnectTimer_);
    avahi_threaded_poll_free(poll_);
    ::close(wakeFd_);
}

void AvahiServiceAdvertiser::advertise(const std::string& name, const std::string& type,
                                       std::uint16_t port) {
    {
        std::lock_guard lock(mutex_);
        wish_ = Request{name, type, port};
    }
    wake();
}

void AvahiServiceAdvertiser::withdraw() {
    {
        std::lock_guard lock(mutex_);
        wish_.reset();
    }
    wake();
}

ServiceAdvertiser::State AvahiServiceAdvertiser::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::string AvahiServiceAdvertiser::fitServiceName(const std::string& name) {
    constexpr std::size_t kMax = 63;
    if (name.size() <= kMax) return name;
    std::size_t end = kMax;
    // Step back over UTF-8 continuation bytes so no character is cut in half.
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    return name.substr(0, end);
}

void AvahiServiceAdvertiser::wake() {
    std::uint64_t one = 1;
    // The counter only saturates after 2^64 - 1 unread wakes, so a failed write cannot lose one.
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
}

void AvahiServiceAdvertiser::applyWish() {
    std::uint64_t count;
    while (::read(wakeFd_, &count, sizeof count) > 0) {
    }
    std::optional<Request> wish;
    bool failed;
    {
        std::lock_guard lock(mutex_);
        wish = wish_;
        failed = state_.phase == State::Phase::failed;
    }
    // The same service again keeps the registration as it stands; after a refusal it is a retry.
    if (wish == applied_ && !failed) return;
    applied_ = std::move(wish);
    if (!applied_) {
        if (group_) {
            avahi_entry_group_free(group_);
            group_ = nullptr;
            logger().info("stopped advertising \"{}\"", currentName_);
        }
        currentName_.clear();
        setState(State::Phase::idle);
        return;
    }
    currentName_ = fitServiceName(applied_->name);
    renames_ = 0;
    if (running_) {
        registerService(false);
    } else {
        setState(State::Phase::waitingForDaemon);
    }
}

void AvahiServiceAdvertiser::connect() {
    int err = 0;
    AvahiClient* c = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                                      &Glue::onClientState, this, &err);
    if (c) {
        client_ = c;
        return;
    }
    client_ = nullptr;  // the state callback may have seen the client that was then freed
    // Only when even the system bus is missing: nothing tells us when it comes, so poll.
    if (!toldNoDaemon_) {
        logger().notice("mDNS daemon unreachable ({}); advertising once it starts",
                        avahi_strerror(err));
        toldNoDaemon_ = true;
    }
    if (applied_) setState(State::Phase::waitingForDaemon);
    backoff_ = std::min(kMaxBackoff, std::max(std::chrono::milliseconds(1000), backoff_ * 2));
    scheduleReconnect(backoff_);
}

void AvahiServiceAdvertiser::scheduleReconnect(std::chrono::milliseconds delay) {
    struct timeval tv;
    avahi_elapse_time(&tv, static_cast<unsigned>(delay.count()), 0);
    avahi_threaded_poll_get(poll_)->timeout_update(reconnectTimer_, &tv);
}

void AvahiServiceAdvertiser::registerService(bool reuseGroup) {
    if (group_ && !reuseGroup) {
        // A new group per registration: reports still in flight for the old one are then
        // dropped by the client library instead of being taken for the new one's.
        avahi_entry_group_free(group_);
        group_ = nullptr;
    }
    if (!group_) {
        group_ = avahi_entry_group_new(client_, &Glue::onGroupState, this);
        if (!group_) return fail("cannot create an entry group", avahi_client_errno(client_));
    } else {
        avahi_entry_group_reset(group_);
    }
    for (;;) {
        // No TXT strings: the daemon then publishes the empty TXT record DNS-SD requires.
        int rc = avahi_entry_group_add_service(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                               AvahiPublishFlags(0), currentName_.c_str(),
                                               applied_->type.c_str(), nullptr, nullptr,
                                               applied_->port, static_cast<const char*>(nullptr));
        // Taken by another registration on this machine.
        if (rc == AVAHI_ERR_COLLISION) {
            if (takeNextName()) continue;
            return;
        }
        if (rc < 0) return fail("cannot add the service", rc);
        break;
    }
    if (int rc = avahi_entry_group_commit(group_); rc < 0)
        return fail("cannot publish the service", rc);
    setState(State::Phase::registering);
}

bool AvahiServiceAdvertiser::takeNextName() {
    if (renames_ >= kMaxRenames) {
        fail("no free service name", AVAHI_ERR_COLLISION);
        return false;
    }
    char* next = avahi_alternative_service_name(currentName_.c_str());
    logger().notice("service name \"{}\" is taken; trying \"{}\"", currentName_, next);
    currentName_ = next;
    avahi_free(next);
    ++renames_;
    return true;
}

void AvahiServiceAdvertiser::fail(const std::string& what, int avahiError) {
    const char* text = avahi_strerror(avahiError);
    logger().error("advertising failed: {}: {}", what, text);
    setState(State::Phase::failed, text);
}

void AvahiServiceAdvertiser::setState(State::Phase phase, std::string error) {
    State next{phase, phase == State::Phase::idle ? std::string() : currentName_, std::move(error)};
    {
        std::lock_guard lock(mutex_);
        if (next == state_) return;
        state_ = next;
    }
    stateChanged.emit(next);
}

}  // namespace orvane
