// The connection race behind `orvane-peer connect --link/--mac/--quic/--hole-punch`.

#include "RaceConnect.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <future>
#include <map>
#include <mutex>
#include <set>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/base/TimerService.h"
#include "OrvaneKit/cloud/OrvaneCloud.h"
#include "OrvaneKit/cloud/inotify/InotifyWakeSignal.h"
#include "OrvaneKit/cloud/postgres/PostgresCloudStore.h"
#include "OrvaneKit/cloud/sqlite/SqliteCloudStore.h"
#include "OrvaneKit/net/ngtcp2/QuicEndpoint.h"
#include "OrvaneKit/reach/Connector.h"
#include "OrvaneKit/reach/NATHolePunch.h"
#include "OrvaneKit/reach/NATPuncher.h"
#include "OrvaneKit/reach/Pairing.h"
#include "OrvaneKit/security/file/FileSecretStore.h"

namespace orvane {

namespace {

// How the race's reports name a candidate.
std::string wayKey(const ConnectCandidate& candidate) {
    return Connector::candidateKey(candidate) + (candidate.quic ? " quic" : "");
}

// Reports each attempt as the race makes it and remembers its candidate, so the winner can be
// named.
class NamingDialer final : public Dialer {
public:
    NamingDialer(Dialer& inner, Emit emit) : inner_(inner), emit_(std::move(emit)) {}
    std::shared_ptr<DialAttempt> make(const ConnectCandidate& candidate,
                                      const std::string& accessCode,
                                      const std::optional<std::string>& fingerprint) override {
        auto key = wayKey(candidate);
        emit_({{"event", "dial"}, {"candidate", key}});
        auto attempt = inner_.make(candidate, accessCode, fingerprint);
        std::lock_guard lock(mutex_);
        keys_[attempt.get()] = key;
        return attempt;
    }
    std::string keyOf(const DialAttempt* attempt) {
        std::lock_guard lock(mutex_);
        auto it = keys_.find(attempt);
        return it == keys_.end() ? "" : it->second;
    }

private:
    Dialer& inner_;
    const Emit emit_;
    std::mutex mutex_;
    std::map<const DialAttempt*, std::string> keys_;
};

// The machine's record, read from the owner's store as `orvane-peer cloud` reads it.
std::optional<CloudMac> readMac(const std::string& macID, std::shared_ptr<CloudStore> store) {
    OrvaneCloud cloud(std::move(store));
    for (auto& m : cloud.fetchChanges().macs)
        if (m.id == macID) return m;
    return std::nullopt;
}

// What a race runs on. Kept for the life of the process (through `keptRace`, so it is never
// taken for a leak): waves and attempts still winding down on the network threads after the
// race ended use it.
struct Parts {
    Parts(NetContext& net, SecureIdentity& identity, const Emit& emit)
        : real({&identity, nullptr, &net},
               [&net](HostPort remote, Bytes key, std::optional<std::uint16_t> localPort,
                      std::optional<std::string> interface) {
                   return dialQuic(net, std::move(remote), std::move(key), localPort, {},
                                   std::move(interface));
               }),
          dialer(real, emit),
          timers(net.context()),
          connector(dialer, timers, net.context().get_executor()) {}
    OrvaneConnectionDialer real;
    NamingDialer dialer;
    AsioTimerService timers;
    Connector connector;
    std::mutex mutex;
    std::set<std::string> announced;
    MemorySettingsStore settings;
};
Parts* keptRace = nullptr;

}  // namespace

int RaceOptions::take(const std::vector<std::string>& args) {
    if (args.empty()) return 0;
    const std::string& flag = args[0];
    if (flag == "--hole-punch") {
        holePunch = requested = true;
        return 1;
    }
    static const std::set<std::string> valued = {"--link",    "--mac",       "--quic", "--stagger",
                                                 "--timeout", "--interface", "--stun"};
    if (!valued.contains(flag)) return 0;
    if (args.size() < 2) return -1;
    const std::string& value = args[1];
    requested = true;
    if (flag == "--link") {
        links.push_back(value);
    } else if (flag == "--mac") {
        macID = value;
    } else if (flag == "--quic" || flag == "--stun") {
        auto hp = NATHolePunch::parseHostPort(value);
        if (!hp) return -1;
        if (flag == "--quic")
            quic.push_back(*hp);
        else
            stun = value;
    } else if (flag == "--stagger") {
        std::int64_t ms = 0;
        auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
        if (ec != std::errc() || end != value.data() + value.size()) return -1;
        // Zero or below is left to the race, which refuses it with its own reason.
        staggerMilliseconds = ms;
    } else if (flag == "--timeout") {
        std::size_t used = 0;
        timeoutSeconds = std::stod(value, &used);
        if (used != value.size()) return -1;
    } else {
        interfaces.push_back(value);
    }
    return 2;
}

std::variant<RaceWinner, int> runRace(const RaceOptions& options, std::string code,
                                      const std::optional<std::string>& fingerprint,
                                      const std::optional<HostPort>& plain, NetContext& net,
                                      SecureIdentity& identity, const Emit& emit,
                                      const EmitError& emitError) {
    // Ways that never change: the links' routes, the record's addresses, --host and --quic.
    struct Way {
        HostPort endpoint;
        bool quic = false;
    };
    std::vector<Way> ways;
    for (const auto& text : options.links) {
        auto link = PairingInfo::parse(text);
        if (!link) {
            emitError("not a pairing link: " + text);
            return 64;
        }
        if (code.empty()) code = link->code;
        for (const auto& r : link->routes()) ways.push_back({{r.host, r.port}});
    }
    std::shared_ptr<CloudStore> store;
    std::optional<CloudMac> mac;
    if (options.macID) {
        try {
            static FileSecretStore keychain{FileSecretStore::standardFile()};
            store = openConfiguredCloudStore(
                keychain, makeInotifyWakeSignal, CloudAccountFile::standardPath(),
                [&](const CloudAccountFile& a) { return openPostgresBackend(a, keychain); });
            mac = readMac(*options.macID, store);
        } catch (const std::exception& e) {
            emitError("cannot read the machine's record: " + std::string(e.what()));
            return 1;
        }
        if (!mac) {
            emitError("no machine " + *options.macID + " in the owner's records");
            return 1;
        }
        if (code.empty()) code = mac->accessCode.value_or("");
        for (const auto& a : mac->lanAddresses) ways.push_back({{a, CloudMac::sessionPort}});
        if (mac->publicAddress && mac->publicPort && *mac->publicPort > 0 &&
            *mac->publicPort <= 65535)
            ways.push_back({{*mac->publicAddress, static_cast<std::uint16_t>(*mac->publicPort)}});
        for (const auto& a : mac->ipv6Addresses) ways.push_back({{a, CloudMac::sessionPort}});
    }
    if (plain) ways.push_back({*plain});
    for (const auto& q : options.quic) ways.push_back({q, true});
    if (code.empty()) {
        emitError("no access code: give --code, or a link or machine record that holds one");
        return 64;
    }
    if (options.holePunch && !mac) {
        emitError("--hole-punch needs the machine's record: give --mac");
        return 64;
    }
    if (ways.empty() && !options.holePunch) {
        emitError("nothing to dial: give --host, --link, --mac or --quic");
        return 64;
    }

    std::vector<std::optional<std::string>> interfaces(options.interfaces.begin(),
                                                       options.interfaces.end());
    if (interfaces.empty()) interfaces.push_back(std::nullopt);
    auto onEach = [interfaces](ConnectCandidate base, std::vector<ConnectCandidate>& out) {
        for (const auto& i : interfaces) {
            base.interface = i;
            out.push_back(base);
        }
    };

    auto* parts = keptRace = new Parts(net, identity, emit);

    // The punched path is prepared before the race starts: dead routes fail within the first
    // waves, and a race whose every attempt failed ends at the next wave with nothing new, so a
    // punch candidate that came later would never be dialled. The wait is bounded by STUN's own
    // time-out.
    std::shared_ptr<NATPuncher> puncher;
    if (options.holePunch) {
        parts->settings.setBool(NATHolePunch::defaultsKey, true);
        if (options.stun) parts->settings.setString(NATHolePunch::stunServerKey, *options.stun);
        puncher =
            NATPuncher::make({net.context().get_executor(), store, SystemClock::shared(), {}});
        auto prepared = std::make_shared<std::promise<void>>();
        puncher->prepare(mac->id, mac->natHost, mac->natPort, code, parts->settings,
                         [prepared] { prepared->set_value(); });
        prepared->get_future().wait_for(
            std::chrono::duration<double>(NATHolePunch::stunTimeoutSeconds + 5));
        if (puncher->candidate())
            emit({{"event", "holePunch"}, {"ready", true}});
        else
            emit({{"event", "holePunch"},
                  {"ready", false},
                  {"reason", !mac->natHost || !mac->natPort
                                 ? "the machine publishes no hole-punch address"
                                 : "STUN did not answer"}});
    }
    auto source = [parts, ways, onEach, emit, puncher] {
        std::vector<ConnectCandidate> out;
        for (const auto& w : ways) {
            ConnectCandidate c{w.endpoint, std::nullopt, std::nullopt};
            if (w.quic) c.quic = QuicPath{};
            onEach(c, out);
        }
        if (puncher)
            if (auto c = puncher->candidate()) onEach(*c, out);
        std::lock_guard lock(parts->mutex);
        for (const auto& c : out) {
            auto key = wayKey(c);
            if (parts->announced.insert(key).second)
                emit({{"event", "candidate"}, {"candidate", key}});
        }
        return out;
    };

    auto done = std::make_shared<std::promise<ConnectOutcome>>();
    auto result = done->get_future();
    parts->connector.connect(code, fingerprint, source,
                             {options.staggerMilliseconds, options.timeoutSeconds},
                             [done](ConnectOutcome o) { done->set_value(std::move(o)); });
    // The race ends itself at its time-out; this only guards against one that never ends.
    auto limit = std::chrono::duration<double>(
        std::isfinite(options.timeoutSeconds) ? std::clamp(options.timeoutSeconds, 0.0, 1e6) : 0);
    if (result.wait_for(limit + std::chrono::seconds(30)) != std::future_status::ready) {
        emitError("the connection race did not end");
        return 1;
    }
    auto outcome = result.get();
    if (auto* ready = std::get_if<outcome::Ready>(&outcome)) {
        RaceWinner w{ready->attempt->connection(), parts->dialer.keyOf(ready->attempt.get())};
        emit({{"event", "raceWon"},
              {"candidate", w.candidate},
              {"peerFingerprint", w.connection->peerFingerprint().value_or("")},
              {"route", std::string(rawValue(w.connection->route()))}});
        return w;
    }
    if (std::holds_alternative<outcome::WrongCode>(outcome)) {
        emitError("the access code was refused");
        return 2;
    }
    if (auto* insecure = std::get_if<outcome::Insecure>(&outcome)) {
        const auto& e = insecure->error;
        if (e.kind() == SecureChannelError::Kind::identityChanged)
            emitError("the peer's identity changed: expected " + e.expected() + ", got " + e.got());
        else
            emitError("secure channel failed: " + e.description());
        return 3;
    }
    emitError("no way to the machine worked: " + std::get<outcome::Failed>(outcome).reason);
    return 1;
}

}  // namespace orvane
