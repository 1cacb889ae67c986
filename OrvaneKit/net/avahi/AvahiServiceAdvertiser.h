#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "OrvaneKit/net/ServiceAdvertiser.h"

struct AvahiThreadedPoll;
struct AvahiClient;
struct AvahiEntryGroup;
struct AvahiWatch;
struct AvahiTimeout;

namespace orvane {

// Advertises through the system's Avahi daemon over D-Bus (DBUS_SYSTEM_BUS_ADDRESS is honoured).
//
// Every call to the daemon runs on the advertiser's own event thread, because the client
// library's calls block for a D-Bus round trip; advertise() and withdraw() only record the wish
// and wake that thread. stateChanged is emitted on that event thread.
//
// Without a daemon (or without a system bus) the advertiser logs once and waits: it registers as
// soon as the daemon appears, and again after the daemon restarts. A taken name is replaced by the
// daemon's alternative ("Name #2", "Name #3" …) until one is free. The destructor withdraws.
class AvahiServiceAdvertiser final : public ServiceAdvertiser {
public:
    AvahiServiceAdvertiser();
    ~AvahiServiceAdvertiser() override;
    AvahiServiceAdvertiser(const AvahiServiceAdvertiser&) = delete;
    AvahiServiceAdvertiser& operator=(const AvahiServiceAdvertiser&) = delete;

    void advertise(const std::string& name, const std::string& type, std::uint16_t port) override;
    void withdraw() override;
    State state() const override;

    // A DNS-SD instance name is one DNS label: at most 63 bytes. Longer names are cut at a
    // character boundary rather than refused.
    static std::string fitServiceName(const std::string& name);

private:
    struct Request {
        std::string name, type;
        std::uint16_t port = 0;
        bool operator==(const Request&) const = default;
    };

    struct Glue;  // the C callbacks
    friend struct Glue;

    void wake();
    // Event thread only from here on.
    void applyWish();
    void connect();
    void scheduleReconnect(std::chrono::milliseconds delay);
    void registerService(bool reuseGroup);
    bool takeNextName();
    void fail(const std::string& what, int avahiError);
    void setState(State::Phase phase, std::string error = {});

    AvahiThreadedPoll* poll_ = nullptr;
    int wakeFd_ = -1;
    AvahiWatch* wakeWatch_ = nullptr;
    AvahiTimeout* reconnectTimer_ = nullptr;

    mutable std::mutex mutex_;
    std::optional<Request> wish_;  // what the owner asked for
    State state_;

    // event thread
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    bool running_ = false;
    std::optional<Request> applied_;  // what the daemon has been asked for
    std::string currentName_;  // the name tried; differs from applied_->name after collisions
    int renames_ = 0;
    std::chrono::milliseconds backoff_{0};
    bool toldNoDaemon_ = false;
};

}  // namespace orvane
