#include "Orvane_Host/reach/AnywhereAccess.h"

#include <arpa/inet.h>

#include <asio/async_result.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/reach/NATSignalling.h"
#include "OrvaneKit/security/AccessCode.h"

namespace orvane {

namespace {

std::string quotedList(const std::vector<CloudMac>& macs) {
    std::string out = "[";
    for (std::size_t i = 0; i < macs.size(); ++i) {
        if (i) out += ", ";
        out += "\"" + macs[i].name + "\"";
    }
    return out + "]";
}

}  // namespace

// Stands in where no router can be asked.
struct AnywhereAccess::NoRouter final : PortMappingBackend {
    int start(std::uint16_t, std::uint16_t, std::uint32_t, Reply) override {
        return serviceNotRunning;
    }
    void cancel() override {}
};

std::shared_ptr<AnywhereAccess> AnywhereAccess::make(Services services) {
    return std::shared_ptr<AnywhereAccess>(new AnywhereAccess(std::move(services)));
}

AnywhereAccess::AnywhereAccess(Services services)
    : s_(std::move(services)),
      noRouter_(s_.router ? nullptr : std::make_unique<NoRouter>()),
      cloud_(s_.store, s_.clock),
      macID_(loadMacID(s_.settings)),
      portMapper_(s_.router ? *s_.router : *noRouter_),
      natPuncher_(s_.holePunch.listeners
                      ? NATHostPuncher::make(
                            {s_.cloudExecutor, s_.holePunch.listeners, s_.holePunch.discover})
                      : nullptr) {}

AnywhereAccess::~AnywhereAccess() {
    timer_.cancel();
    if (natPuncher_) natPuncher_->stop();
    s_.store->setPushHandler({}, {});
}

std::string AnywhereAccess::loadMacID(SettingsStore& settings) {
    if (auto stored = settings.string(macIDKey); stored && !stored->empty()) return *stored;
    std::string fresh = Uuid::random().string();
    settings.setString(macIDKey, fresh);
    return fresh;
}

bool AnywhereAccess::isGlobalUnicastIPv6(const std::string& address) {
    in6_addr a{};
    const std::string bare = address.substr(0, address.find('%'));
    if (::inet_pton(AF_INET6, bare.c_str(), &a) != 1) return false;
    return (a.s6_addr[0] & 0xE0) == 0x20;
}

// Coroutines take what they keep as parameters, never as lambda captures: the frame owns a
// parameter, while a capture lives in a closure that may be gone by the time it runs.
template <class F>
asio::awaitable<decltype(std::declval<F&>()())> callIn(F f) {
    if constexpr (std::is_void_v<decltype(f())>)
        f();
    else
        co_return f();
}

template <class Body>
asio::awaitable<void> keeping(std::shared_ptr<AnywhereAccess>, Body body) {
    co_await body();
}

template <class F>
auto AnywhereAccess::offMain(F f) -> asio::awaitable<decltype(f())> {
    if constexpr (std::is_void_v<decltype(f())>)
        co_await asio::co_spawn(s_.cloudExecutor, callIn(std::move(f)), asio::use_awaitable);
    else
        co_return co_await asio::co_spawn(s_.cloudExecutor, callIn(std::move(f)),
                                          asio::use_awaitable);
}

template <class Body>
void AnywhereAccess::spawn(Body body) {
    asio::co_spawn(s_.mainActor.executor(), keeping(shared_from_this(), std::move(body)),
                   asio::detached);
}

void AnywhereAccess::setStatus(std::string s) {
    status_ = std::move(s);
    statusChanged(status_);
}

void AnywhereAccess::start(Perform perform) {
    ORVANE_ASSERT_MAIN_ACTOR(s_.mainActor);
    perform_ = std::move(perform);
    if (started_) return;
    started_ = true;
    std::weak_ptr<AnywhereAccess> weak = weak_from_this();
    portMapper_.setOnChange([weak, &actor = s_.mainActor](const std::optional<PortMapping>& m) {
        actor.postTo(weak, [m](AnywhereAccess& self) {
            self.publicEndpoint_ =
                m ? std::optional(m->address + ":" + std::to_string(m->port)) : std::nullopt;
            self.routesChanged();
            self.spawn([&self] { return self.publish(); });
        });
    });
    if (mappedPort_ != 0) portMapper_.map(mappedPort_);
    if (natPuncher_)
        natPuncher_->setOnConnection([weak, &actor = s_.mainActor](std::shared_ptr<Transport> t) {
            actor.post([weak, t] {
                auto self = weak.lock();
                if (self && self->s_.holePunch.accept)
                    self->s_.holePunch.accept(t);
                else
                    t->cancel();
            });
        });
    // Any push, whatever it says, means the commands may have changed.
    asio::post(s_.cloudExecutor, [weak, store = s_.store, ex = s_.mainActor.executor()] {
        store->setPushHandler(ex, [weak] {
            if (auto self = weak.lock())
                self->spawn([s = self.get()] { return s->fetchCommands(); });
        });
    });
    spawn([this] { return setUp(); });
    tickOrigin_ = s_.clock.monoNow();
    scheduleTick();
}

void AnywhereAccess::mapSessionPort(std::uint16_t port) {
    ORVANE_ASSERT_MAIN_ACTOR(s_.mainActor);
    if (port == mappedPort_) return;
    mappedPort_ = port;
    if (!started_) return;
    if (port != 0)
        portMapper_.map(port);
    else
        portMapper_.stop();
}

void AnywhereAccess::stop() {
    ORVANE_ASSERT_MAIN_ACTOR(s_.mainActor);
    timer_.cancel();
    timer_ = {};
    portMapper_.stop();
    if (natPuncher_) natPuncher_->stop();
    perform_ = nullptr;
    started_ = false;
}

void AnywhereAccess::scheduleTick() {
    // Deadlines on the start time plus whole intervals, so a late tick never shifts the later
    // ones and exactly one tick falls into each heartbeat window; missed ones are skipped.
    const auto now = s_.clock.monoNow();
    const auto k = (now - tickOrigin_) / tickInterval + 1;
    const auto due = tickOrigin_ + k * tickInterval;
    std::weak_ptr<AnywhereAccess> weak = weak_from_this();
    timer_ = s_.timers.after(due - now, s_.mainActor.executor(), [weak] {
        auto self = weak.lock();
        if (!self || !self->started_) return;
        self->scheduleTick();
        self->spawn([s = self.get()] { return s->tick(); });
    });
}

asio::awaitable<void> AnywhereAccess::tick() {
    co_await fetchCommands();
    const auto unix =
        std::chrono::duration_cast<std::chrono::seconds>(s_.clock.wallNow().time_since_epoch())
            .count();
    if (unix % 300 <= 29) co_await publish();
}

asio::awaitable<void> AnywhereAccess::setUp() {
    try {
        co_await offMain([this] { cloud_.ensureZone(); });
        co_await offMain([this] { cloud_.subscribe(); });
    } catch (const std::exception& e) {
        log_.error("iCloud setup failed: {}", e.what());
        setStatus(std::string("iCloud unavailable: ") + e.what());
    }
    const auto account = co_await offMain([this] { return cloud_.accountStatus(); });
    log_.notice("iCloud: {}", account);
    co_await startHolePunch();
    co_await publish();
    co_await fetchCommands();
}

asio::awaitable<void> AnywhereAccess::publish() {
    auto keep = shared_from_this();
    const auto ticket = ++publishAsked_;
    if (publishing_) {
        // A publication that starts after this request, and so reads the state as it is now,
        // answers it.
        co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(
            [this, ticket](auto handler) {
                auto h = std::make_shared<decltype(handler)>(std::move(handler));
                publishWaiters_.emplace_back(ticket, [h] { std::move (*h)(); });
            },
            asio::use_awaitable);
        co_return;
    }
    publishing_ = true;
    while (publishCovered_ < publishAsked_) {
        const auto covers = publishAsked_;
        co_await publishOnce();
        publishCovered_ = covers;
        auto waiters = std::move(publishWaiters_);
        publishWaiters_.clear();
        for (auto& [t, resume] : waiters) {
            if (t <= covers)
                asio::post(s_.mainActor.executor(), std::move(resume));
            else
                publishWaiters_.emplace_back(t, std::move(resume));
        }
    }
    publishing_ = false;
}

asio::awaitable<void> AnywhereAccess::publishOnce() {
    const auto local = s_.addresses.localAddresses();
    CloudMac mac;
    mac.id = macID_;
    mac.name = s_.facts.name ? s_.facts.name() : "Mac";
    mac.model = s_.facts.model ? s_.facts.model() : "";
    mac.lastSeen = Date::fromTimePoint(s_.clock.wallNow());
    mac.lanAddresses = local.ipv4;
    for (const auto& a : local.ipv6)
        if (isGlobalUnicastIPv6(a)) mac.ipv6Addresses.push_back(a.substr(0, a.find('%')));
    if (auto m = portMapper_.external()) {
        mac.publicAddress = m->address;
        mac.publicPort = m->port;
    }
    if (s_.facts.accessCode) mac.accessCode = s_.facts.accessCode();
    if (s_.facts.fingerprint) mac.identity = s_.facts.fingerprint();
    if (s_.facts.iCloudAuthToken) mac.authToken = s_.facts.iCloudAuthToken();
    if (auto r = holePunchAddress()) {
        mac.natHost = r->host;
        mac.natPort = r->port;
    }
    // Named, not a temporary of the await: this compiler destroys such temporaries twice.
    auto save = [this, mac] { cloud_.publish(mac); };
    try {
        co_await offMain(std::move(save));
    } catch (const std::exception& e) {
        setStatus(std::string("iCloud: ") + e.what());
        log_.error("publish failed: {}", e.what());
        co_return;
    }
    setStatus(mac.publicAddress || !mac.ipv6Addresses.empty()
                  ? "Reachable from anywhere"
                  : "Home network only (router didn't open a port)");
    log_.notice("published: {} public {} ipv6 {}", status_, mac.publicAddress.value_or("\u2013"),
                mac.ipv6Addresses.size());
}

asio::awaitable<void> AnywhereAccess::fetchCommands() {
    auto keep = shared_from_this();
    std::optional<OrvaneCloud::Changes> changes;
    try {
        changes = co_await offMain([this] { return cloud_.fetchChanges(); });
    } catch (const std::exception& e) {
        log_.error("commands failed: {}", e.what());
    }
    if (changes) {
        log_.notice("fetched {} Mac(s) {}, {} command(s)", changes->macs.size(),
                    quotedList(changes->macs), changes->commands.size());
        // Choosing, marking and running happen in this one step on the main actor, so a
        // command seen by two fetches runs once.
        const Date now = Date::fromTimePoint(s_.clock.wallNow());
        std::vector<CloudCommand> mine;
        for (const auto& c : changes->commands) {
            if (c.macID != macID_) continue;
            mine.push_back(c);
            if (handledCommands_.contains(c.id) || now - c.createdAt >= commandLifetime) continue;
            handledCommands_.insert(c.id);
            log_.notice("command {} from {}", rawValue(c.action), c.sender);
            if (perform_) perform_(c.action, c.sender);
        }
        if (!mine.empty()) {
            auto remove = [this, mine] { cloud_.deleteCommands(mine); };
            try {
                co_await offMain(std::move(remove));
            } catch (const std::exception& e) {
                log_.error("commands failed: {}", e.what());
            }
        }
    }
    co_await punchTowardsViewer();
}

std::optional<STUNReflexive> AnywhereAccess::holePunchAddress() const {
    return natPuncher_ ? natPuncher_->reflexive() : std::nullopt;
}

asio::awaitable<void> AnywhereAccess::startHolePunch() {
    if (!natPuncher_ || !NATHolePunch::isEnabled(s_.settings)) co_return;
    PunchKeySource key = s_.holePunch.key;
    if (!key) key = [code = s_.facts.accessCode] { return AccessCode::pskKey(code ? code() : ""); };
    // Captures by pointer only: this compiler destroys a temporary's non-trivial captures
    // twice when it is awaited.
    const PunchKeySource* keyInFrame = &key;
    const auto found = co_await asio::async_initiate<decltype(asio::use_awaitable),
                                                     void(std::optional<STUNDiscovery>)>(
        [this, keyInFrame](auto handler) {
            auto h = std::make_shared<decltype(handler)>(std::move(handler));
            natPuncher_->start(*keyInFrame, s_.settings,
                               [h, ex = s_.mainActor.executor()](std::optional<STUNDiscovery> d) {
                                   asio::post(ex, [h, d] { std::move (*h)(d); });
                               });
        },
        asio::use_awaitable);
    // The pairing link shows the new address.
    if (found) routesChanged();
}

asio::awaitable<void> AnywhereAccess::punchTowardsViewer() {
    if (!natPuncher_ || !NATHolePunch::isEnabled(s_.settings) || !natPuncher_->reflexive())
        co_return;
    const auto viewer = co_await offMain([this] {
        return NATSignalling(s_.store, s_.clock)
            .fetch(macID_, NATHolePunch::candidateMaxAgeSeconds);
    });
    if (viewer) {
        log_.notice("punching towards {}:{}", viewer->host, viewer->port);
        natPuncher_->punch(viewer->host, viewer->port);
    }
}

}  // namespace orvane
