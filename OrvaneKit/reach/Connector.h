#pragma once

#include <asio/any_io_executor.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "OrvaneKit/base/TimerService.h"
#include "OrvaneKit/net/ConnState.h"
#include "OrvaneKit/net/SessionParams.h"
#include "OrvaneKit/net/Transport.h"
#include "OrvaneKit/protocol/OrvaneConnection.h"
#include "OrvaneKit/security/SecureChannelError.h"

namespace orvane {

// A punched path: QUIC on the code's key, leaving from `localPort` (the port the NAT mapping
// was made for) when given.
struct QuicPath {
    std::optional<std::uint16_t> localPort;
    bool operator==(const QuicPath&) const = default;
};

// One way to reach a machine: where to dial, over which interface (any when absent), and with
// which parameters (the code's session defaults when absent; QUIC when `quic` is set).
struct ConnectCandidate {
    HostPort endpoint;
    std::optional<std::string> interface;
    std::optional<SessionParams> parameters;
    std::optional<QuicPath> quic;
};

// One dial of the race: an OrvaneConnection in production, scripted in tests. State reports
// may come from any thread; ready means the secure channel is up.
class DialAttempt {
public:
    using StateHandler = std::function<void(const ConnState&)>;
    virtual ~DialAttempt() = default;
    virtual void setOnStateChange(StateHandler handler) = 0;
    virtual void start() = 0;
    virtual void cancel() = 0;
    // The secure-channel failure that ended the attempt, if that is what ended it.
    virtual std::optional<SecureChannelError> securityFailure() const = 0;
    // The session connection behind it (null for test doubles).
    virtual std::shared_ptr<OrvaneConnection> connection() const { return nullptr; }
};

class Dialer {
public:
    virtual ~Dialer() = default;
    // An idle attempt; nothing is sent before start(). Throws when it cannot be made (such as
    // for a required interface that does not exist or may not be bound to).
    virtual std::shared_ptr<DialAttempt> make(const ConnectCandidate& candidate,
                                              const std::string& accessCode,
                                              const std::optional<std::string>& fingerprint) = 0;
};

// Dials with OrvaneConnection: TCP with TLS over the code's key (or the candidate's
// parameters), or QUIC through `quic` for punched paths.
class OrvaneConnectionDialer final : public Dialer {
public:
    // Makes an idle QUIC transport to `remote` on `key`, from `localPort` when given, through
    // `interface` only when given.
    using QuicDial = std::function<std::shared_ptr<Transport>(
        HostPort remote, Bytes key, std::optional<std::uint16_t> localPort,
        std::optional<std::string> interface)>;

    explicit OrvaneConnectionDialer(ConnectionEnvironment env = {}, QuicDial quic = {})
        : env_(env), quic_(std::move(quic)) {}
    std::shared_ptr<DialAttempt> make(const ConnectCandidate& candidate,
                                      const std::string& accessCode,
                                      const std::optional<std::string>& fingerprint) override;

private:
    ConnectionEnvironment env_;
    QuicDial quic_;
};

namespace outcome {
struct Ready {
    std::shared_ptr<DialAttempt> attempt;
};
struct Failed {
    std::string reason;
};
struct Insecure {
    SecureChannelError error;
};
struct WrongCode {};
}  // namespace outcome
using ConnectOutcome =
    std::variant<outcome::Ready, outcome::Failed, outcome::Insecure, outcome::WrongCode>;

// Dials the ways to a machine as a staggered race: one new candidate per wave, `stagger` apart,
// every started attempt kept running; the first whose secure channel comes up wins and all the
// others are cancelled. A TLS failure (the code is wrong) or a secure-channel failure ends the
// race at once: no other path can do better.
class Connector {
public:
    static constexpr const char* noPath = "No network path to the Mac";

    using CandidateSource = std::function<std::vector<ConnectCandidate>()>;
    using InterfaceSource = std::function<std::vector<std::optional<std::string>>()>;
    using Done = std::function<void(ConnectOutcome)>;

    struct Options {
        std::int64_t staggerMilliseconds = 250;
        double timeoutSeconds = 10;
    };

    Connector(Dialer& dialer, TimerService& timers, asio::any_io_executor executor)
        : dialer_(dialer), timers_(timers), executor_(std::move(executor)) {}

    // The source is asked again at every wave. `done` runs once, on the executor or on an
    // attempt's thread.
    void connect(std::string accessCode, std::optional<std::string> expectedFingerprint,
                 CandidateSource candidates, Options options, Done done);
    // One candidate per interface the source gives, for one endpoint.
    void connect(HostPort endpoint, std::string accessCode, InterfaceSource interfaces,
                 Options options, Done done);
    // The same for a fixed list; an empty list means one attempt on any interface.
    void connect(HostPort endpoint, std::string accessCode,
                 std::vector<std::optional<std::string>> interfaces, Options options, Done done);

    // "host:port", "[v6]:port", then "|" and the interface or "*": equal keys, one attempt.
    static std::string candidateKey(const ConnectCandidate& candidate);
    // max(trunc(timeout·1000) / stagger, 1); nullopt for parameters no race can run on.
    static std::optional<std::int64_t> waveCount(const Options& options);

private:
    Dialer& dialer_;
    TimerService& timers_;
    asio::any_io_executor executor_;
};

}  // namespace orvane
