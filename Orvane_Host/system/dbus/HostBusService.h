#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "OrvaneKit/base/MainActor.h"

struct sd_bus;
struct sd_bus_message;

namespace orvane {

// The host's actions on the session bus, for scripts, launchers and a second copy of the host.
// The bus has its own thread; every call runs on the main actor and is answered after it.
class HostBusService {
public:
    static constexpr const char* name = "com.nimbrel.kelsap.Host";
    static constexpr const char* path = "/com/nimbrel/kelsap/Host";
    static constexpr const char* interface = "com.nimbrel.kelsap.Host1";

    struct Answer {
        std::string value;
        std::string dialog;
    };
    // Each runs on the main actor.
    struct Actions {
        std::function<Answer()> getAccessCode;
        std::function<Answer()> changeAccessCode;
        std::function<std::string()> disconnectEveryone;
        std::function<void()> show;
    };

    enum class Outcome { started, nameTaken, noBus };
    // Connects to the bus (the given address, else the session bus of the environment) and
    // takes the name. `outcome` says why nothing was made.
    static std::unique_ptr<HostBusService> start(MainActor& mainActor, Actions actions,
                                                 const std::optional<std::string>& address,
                                                 Outcome& outcome);
    ~HostBusService();
    HostBusService(const HostBusService&) = delete;
    HostBusService& operator=(const HostBusService&) = delete;

private:
    HostBusService(MainActor& mainActor, Actions actions, sd_bus* bus);
    friend struct HostBusCallbacks;
    void answerQueued();

    MainActor& mainActor_;
    Actions actions_;
    sd_bus* bus_;
    // Replies made on the main actor, sent from the bus thread (sd-bus is not thread-safe).
    std::mutex mutex_;
    std::deque<std::function<void()>> replies_;
    std::atomic<bool> stop_{false};
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
    std::thread thread_;
};

// Calls one of the service's methods as a client would: the reply's strings, or nothing when
// nobody owns the name (and, with `allowStart`, activation could not start the host).
struct HostBusCall {
    bool reached = false;
    std::string error;  // a bus error other than "nobody there"
    std::vector<std::string> strings;
};
HostBusCall callHostBus(const std::string& method, bool allowStart,
                        const std::optional<std::string>& address = std::nullopt);

}  // namespace orvane
