#include "OrvaneKit/reach/Connector.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <asio/post.hpp>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>

#include "OrvaneKit/protocol/OrvaneConnection.h"
#include "OrvaneKit/reach/NetworkInterface.h"
#include "OrvaneKit/security/AccessCode.h"

namespace orvane {

namespace {

class ConnectionAttempt final : public DialAttempt {
public:
    explicit ConnectionAttempt(std::shared_ptr<OrvaneConnection> c) : c_(std::move(c)) {}
    void setOnStateChange(StateHandler handler) override {
        c_->setOnStateChange(std::move(handler));
    }
    void start() override { c_->start(); }
    void cancel() override { c_->cancel(); }
    std::optional<SecureChannelError> securityFailure() const override {
        return c_->securityFailure();
    }
    std::shared_ptr<OrvaneConnection> connection() const override { return c_; }

private:
    std::shared_ptr<OrvaneConnection> c_;
};

std::string reasonOf(const NetError& e) {
    if (e.kind == NetError::Kind::posix && e.code > 0) return std::strerror(e.code);
    return e.text.empty() ? describe(e) : e.text;
}

class Race : public std::enable_shared_from_this<Race> {
public:
    Race(Dialer& dialer, TimerService& timers, asio::any_io_executor ex, std::string code,
         std::optional<std::string> fingerprint, Connector::CandidateSource source,
         Connector::Done done)
        : dialer_(dialer),
          timers_(timers),
          ex_(std::move(ex)),
          code_(std::move(code)),
          fingerprint_(std::move(fingerprint)),
          source_(std::move(source)),
          continuation_(std::move(done)) {}

    void run(std::int64_t waves, std::int64_t staggerMs, double timeoutSeconds) {
        waves_ = waves;
        stagger_ = std::chrono::milliseconds(staggerMs);
        auto timeout = std::chrono::duration_cast<TimerService::Duration>(
            std::chrono::duration<double>(std::clamp(timeoutSeconds, 0.0, 1e9)));
        auto timeoutTimer = timers_.after(timeout, ex_, [self = shared_from_this()] {
            self->finish(outcome::Failed{self->reason()}, nullptr);
        });
        {
            std::lock_guard lock(mutex_);
            timers_held_.push_back(timeoutTimer);
        }
        asio::post(ex_, [self = shared_from_this()] { self->wave(0); });
    }

private:
    bool running() {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(continuation_);
    }
    std::string reason() {
        std::lock_guard lock(mutex_);
        return lastReason_;
    }

    void wave(std::int64_t i) {
        if (!running()) return;
        // The next wave is due `stagger` after this one whatever the source takes, so waves
        // may overlap.
        if (i + 1 < waves_) {
            auto t =
                timers_.after(stagger_, ex_, [self = shared_from_this(), i] { self->wave(i + 1); });
            std::lock_guard lock(mutex_);
            timers_held_.push_back(t);
        }
        for (const auto& candidate : source_()) {
            auto key = Connector::candidateKey(candidate);
            {
                // Test and insert in one section, or two overlapping waves dial one candidate
                // twice.
                std::lock_guard lock(mutex_);
                if (!continuation_) return;
                if (!tried_.insert(key).second) continue;
                ++started_;
            }
            startAttempt(candidate);
            return;
        }
        bool allFailed;
        {
            std::lock_guard lock(mutex_);
            allFailed = started_ >= 1 && failures_ >= started_;
        }
        if (allFailed) finish(outcome::Failed{reason()}, nullptr);
    }

    void startAttempt(const ConnectCandidate& candidate) {
        std::shared_ptr<DialAttempt> attempt;
        try {
            attempt = dialer_.make(candidate, code_, fingerprint_);
        } catch (const std::exception& e) {
            countFailure(e.what());
            return;
        }
        std::weak_ptr<DialAttempt> weak = attempt;
        // The pending timeout keeps the race alive; attempts only point back at it.
        attempt->setOnStateChange([race = weak_from_this(), weak](const ConnState& state) {
            auto self = race.lock();
            auto a = weak.lock();
            if (self && a) self->stateChanged(a, state);
        });
        attempt->start();
        bool finished;
        {
            std::lock_guard lock(mutex_);
            finished = !continuation_;
            if (!finished) connections_.push_back(attempt);
        }
        // The race ended while this attempt was being made: nobody else will cancel it.
        if (finished) {
            attempt->setOnStateChange({});
            attempt->cancel();
        }
    }

    void countFailure(std::string why) {
        std::lock_guard lock(mutex_);
        ++failures_;
        lastReason_ = std::move(why);
    }

    void stateChanged(const std::shared_ptr<DialAttempt>& attempt, const ConnState& state) {
        if (std::holds_alternative<conn::Ready>(state)) {
            finish(outcome::Ready{attempt}, attempt.get());
            return;
        }
        const NetError* error = stateError(state);
        if (!error) return;
        if (auto insecure = attempt->securityFailure()) {
            finish(outcome::Insecure{*insecure}, nullptr);
        } else if (isTlsFailure(state)) {
            finish(outcome::WrongCode{}, nullptr);
        } else {
            countFailure(reasonOf(*error));
            attempt->setOnStateChange({});
            attempt->cancel();
        }
    }

    void finish(ConnectOutcome result, DialAttempt* winner) {
        Connector::Done done;
        std::vector<std::shared_ptr<DialAttempt>> losers;
        std::vector<TimerHandle> pending;
        {
            std::lock_guard lock(mutex_);
            if (!continuation_) return;
            done = std::exchange(continuation_, nullptr);
            for (auto& c : connections_)
                if (c.get() != winner) losers.push_back(c);
            connections_.clear();
            pending = std::exchange(timers_held_, {});
        }
        for (auto& t : pending) t.cancel();
        for (auto& l : losers) {
            l->setOnStateChange({});
            l->cancel();
        }
        if (winner) winner->setOnStateChange({});
        done(std::move(result));
    }

    Dialer& dialer_;
    TimerService& timers_;
    asio::any_io_executor ex_;
    const std::string code_;
    const std::optional<std::string> fingerprint_;
    const Connector::CandidateSource source_;
    std::int64_t waves_ = 1;
    std::chrono::milliseconds stagger_{1};

    std::mutex mutex_;
    Connector::Done continuation_;  // empty once the race has finished
    std::vector<std::shared_ptr<DialAttempt>> connections_;
    std::set<std::string> tried_;
    std::int64_t started_ = 0;
    std::int64_t failures_ = 0;
    std::string lastReason_ = Connector::noPath;
    std::vector<TimerHandle> timers_held_;
};

}  // namespace

std::shared_ptr<DialAttempt> OrvaneConnectionDialer::make(
    const ConnectCandidate& candidate, const std::string& accessCode,
    const std::optional<std::string>& fingerprint) {
    // Checked on a spare socket first, so the race reports the interface's own reason rather than
    // a bare system error from inside the dial.
    if (candidate.interface) {
        int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (probe < 0) throw PlatformError("interface", errno, std::strerror(errno));
        auto why = bindSocketToInterface(probe, *candidate.interface);
        ::close(probe);
        if (why) throw PlatformError("interface", why->code, why->text);
    }
    std::shared_ptr<OrvaneConnection> c;
    if (candidate.quic) {
        if (!quic_) throw PlatformError("quic", ENOTSUP, "no QUIC transport in this build");
        auto t = quic_(candidate.endpoint, AccessCode::pskKey(accessCode),
                       candidate.quic->localPort, candidate.interface);
        c = OrvaneConnection::makeClient(std::move(t), accessCode,
                                         NetworkEndpoint{candidate.endpoint}, true, env_);
    } else {
        c = OrvaneConnection::makeClient(candidate.endpoint, accessCode, candidate.interface,
                                         candidate.parameters, env_);
    }
    c->setExpectedPeerFingerprint(fingerprint);
    return std::make_shared<ConnectionAttempt>(std::move(c));
}

std::string Connector::candidateKey(const ConnectCandidate& candidate) {
    const auto& host = candidate.endpoint.host;
    std::string text = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    text += ":" + std::to_string(candidate.endpoint.port);
    return text + "|" + candidate.interface.value_or("*");
}

std::optional<std::int64_t> Connector::waveCount(const Options& options) {
    if (options.staggerMilliseconds <= 0) return std::nullopt;
    double ms = options.timeoutSeconds * 1000;
    // 2^63 is exact in a double; anything at or past it does not fit.
    if (!std::isfinite(ms) || ms >= 9223372036854775808.0 || ms < -9223372036854775808.0)
        return std::nullopt;
    auto waves = static_cast<std::int64_t>(std::trunc(ms)) / options.staggerMilliseconds;
    return std::max<std::int64_t>(waves, 1);
}

void Connector::connect(std::string accessCode, std::optional<std::string> expectedFingerprint,
                        CandidateSource candidates, Options options, Done done) {
    auto waves = waveCount(options);
    if (!waves) {
        asio::post(executor_,
                   [done = std::move(done)] { done(outcome::Failed{"invalid race parameters"}); });
        return;
    }
    auto race = std::make_shared<Race>(dialer_, timers_, executor_, std::move(accessCode),
                                       std::move(expectedFingerprint), std::move(candidates),
                                       std::move(done));
    race->run(*waves, options.staggerMilliseconds, options.timeoutSeconds);
}

void Connector::connect(HostPort endpoint, std::string accessCode, InterfaceSource interfaces,
                        Options options, Done done) {
    auto source = [endpoint, interfaces = std::move(interfaces)] {
        std::vector<ConnectCandidate> out;
        for (auto& i : interfaces()) out.push_back({endpoint, i, std::nullopt});
        return out;
    };
    connect(std::move(accessCode), std::nullopt, std::move(source), options, std::move(done));
}

void Connector::connect(HostPort endpoint, std::string accessCode,
                        std::vector<std::optional<std::string>> interfaces, Options options,
                        Done done) {
    if (interfaces.empty()) interfaces.push_back(std::nullopt);
    connect(std::move(endpoint), std::move(accessCode),
            InterfaceSource([interfaces = std::move(interfaces)] { return interfaces; }), options,
            std::move(done));
}

}  // namespace orvane
