#include "Orvane_Host/reach/natpmp/NatPmpBackend.h"

#include <arpa/inet.h>
#include <natpmp.h>

#include <asio/dispatch.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>

namespace orvane {

namespace {
constexpr int noRouter = -65566;
}  // namespace

// One mapping's exchange with the router. All of it runs on the strand, except the delete that
// `cancel` sends from the caller's thread, which is why libnatpmp is only touched under `mutex`.
struct NatPmpBackend::Session : std::enable_shared_from_this<Session> {
    enum class Step { idle, publicAddress, mapping };

    std::mutex mutex;
    natpmp_t p{};
    bool open = false;
    bool cancelled = false;

    asio::any_io_executor strand;
    TimerService& timers;
    asio::posix::stream_descriptor socket;
    asio::steady_timer retry;
    TimerHandle renewal;
    std::uint64_t wait = 0;  // the current wait; older wake-ups are ignored

    std::uint16_t internalPort = 0;
    std::uint16_t requestedPort = 0;
    std::uint32_t lifetime = 0;
    Reply reply;

    Step step = Step::idle;
    bool renewing = false;
    in_addr publicAddress{};
    std::optional<std::uint32_t> epoch;
    std::chrono::steady_clock::time_point epochSeen;
    const Logger log{"com.nimbrel.kelsap.host", "cloud"};

    Session(asio::any_io_executor s, TimerService& t) : strand(s), timers(t), socket(s), retry(s) {}

    ~Session() {
        socket.release();  // closenatpmp closes it
        if (open) closenatpmp(&p);
    }

    // The whole exchange: the public address, then the mapping.
    void ask() {
        step = Step::publicAddress;
        renewing = false;
        send([&] { return sendpublicaddressrequest(&p); });
    }

    // A renewal asks for the mapping only; the address is asked again if the router restarted.
    void renew() {
        step = Step::mapping;
        renewing = true;
        send([&] {
            return sendnewportmappingrequest(&p, NATPMP_PROTOCOL_TCP, internalPort, requestedPort,
                                             lifetime);
        });
    }

    template <class Send>
    void send(Send sendRequest) {
        int r;
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
            r = sendRequest();
        }
        if (r < 0) return fail(r);
        pump();
    }

    // Reads an answer or lets libnatpmp retransmit; waits for whichever comes first.
    void pump() {
        natpmpresp_t response{};
        int r;
        timeval timeout{};
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
            r = readnatpmpresponseorretry(&p, &response);
            if (r == NATPMP_TRYAGAIN && getnatpmprequesttimeout(&p, &timeout) != 0)
                timeout = {0, 250000};
        }
        if (r == NATPMP_TRYAGAIN) {
            auto id = ++wait;
            auto self = shared_from_this();
            retry.expires_after(std::chrono::seconds(timeout.tv_sec) +
                                std::chrono::microseconds(timeout.tv_usec));
            retry.async_wait([self, id](const std::error_code& ec) {
                if (!ec && id == self->wait) self->pump();
            });
            socket.async_wait(asio::posix::stream_descriptor::wait_read,
                              [self, id](const std::error_code& ec) {
                                  if (!ec && id == self->wait) self->pump();
                              });
            return;
        }
        ++wait;
        retry.cancel();
        if (r < 0) return fail(r);
        answered(response);
    }

    void answered(const natpmpresp_t& response) {
        if (restarted(response.epoch)) {
            log.notice("the router restarted; asking for the mapping again");
            return ask();
        }
        if (step == Step::publicAddress && response.type == NATPMP_RESPTYPE_PUBLICADDRESS) {
            publicAddress = response.pnu.publicaddress.addr;
            step = Step::mapping;
            return send([&] {
                return sendnewportmappingrequest(&p, NATPMP_PROTOCOL_TCP, internalPort,
                                                 requestedPort, lifetime);
            });
        }
        if (step == Step::mapping && response.type == NATPMP_RESPTYPE_TCPPORTMAPPING) {
            step = Step::idle;
            std::uint32_t granted = response.pnu.newportmapping.lifetime;
            // Renewals ask for the port the router gave, which may not be the one asked for.
            requestedPort = response.pnu.newportmapping.mappedpublicport;
            deliver({0, publicAddress.s_addr, htons(response.pnu.newportmapping.mappedpublicport)});
            scheduleRenewal(granted);
            return;
        }
        pump();  // an answer to something else: keep waiting for ours
    }

    // The epoch counts seconds since the router's start; one that went back means a restart
    // and mappings lost. A little slack allows for clocks ticking at different rates.
    bool restarted(std::uint32_t now) {
        auto seen = std::chrono::steady_clock::now();
        bool back = false;
        if (epoch) {
            auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(seen - epochSeen);
            std::int64_t expected = static_cast<std::int64_t>(*epoch) + elapsed.count() * 7 / 8 - 2;
            back = static_cast<std::int64_t>(now) < expected;
        }
        epoch = now;
        epochSeen = seen;
        return back && renewing;
    }

    void fail(int code) {
        step = Step::idle;
        deliver({code, 0, 0});
        // Try again later: the router may come back, or start answering.
        scheduleRenewal(lifetime);
    }

    void scheduleRenewal(std::uint32_t granted) {
        auto delay = std::chrono::seconds(std::max<std::uint32_t>(granted / 2, 1));
        std::weak_ptr<Session> weak = shared_from_this();
        std::lock_guard lock(mutex);  // `end` cancels it from another thread
        if (cancelled) return;
        renewal.cancel();
        renewal = timers.after(delay, strand, [weak] {
            if (auto self = weak.lock()) self->renew();
        });
    }

    void deliver(const PortMappingReply& r) {
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
        }
        reply(r);
    }

    // From the caller's thread: no more replies; the router is told to drop the mapping.
    void end() {
        std::lock_guard lock(mutex);
        if (cancelled) return;
        cancelled = true;
        renewal.cancel();
        if (open) sendnewportmappingrequest(&p, NATPMP_PROTOCOL_TCP, internalPort, 0, 0);
    }
};

NatPmpBackend::NatPmpBackend(asio::any_io_executor strand, TimerService& timers, Options options)
    : strand_(std::move(strand)), timers_(timers), options_(std::move(options)) {}

NatPmpBackend::~NatPmpBackend() {
    cancel();
}

int NatPmpBackend::start(std::uint16_t internalPort, std::uint16_t requestedExternalPort,
                         std::uint32_t lifetime, Reply reply) {
    cancel();
    auto session = std::make_shared<Session>(strand_, timers_);
    in_addr_t forced = 0;
    if (options_.gateway) {
        in_addr a{};
        if (inet_pton(AF_INET, options_.gateway->c_str(), &a) != 1) return noRouter;
        forced = a.s_addr;
    }
    int r = initnatpmp(&session->p, options_.gateway ? 1 : 0, forced);
    if (r == NATPMP_ERR_CANNOTGETGATEWAY) return noRouter;
    if (r < 0) return serviceNotRunning;
    session->open = true;
    std::error_code ec;
    session->socket.assign(session->p.s, ec);
    if (ec) return serviceNotRunning;
    session->internalPort = internalPort;
    session->requestedPort = requestedExternalPort;
    session->lifetime = lifetime;
    session->reply = std::move(reply);
    {
        std::lock_guard lock(mutex_);
        session_ = session;
    }
    asio::dispatch(strand_, [session] { session->ask(); });
    return 0;
}

void NatPmpBackend::cancel() {
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(mutex_);
        session = std::move(session_);
    }
    if (!session) return;
    session->end();
    // Waits still pending end on the strand, which lets the session go.
    asio::dispatch(strand_, [session] {
        std::error_code ignored;
        session->retry.cancel();
        session->socket.cancel(ignored);
    });
}

}  // namespace orvane
