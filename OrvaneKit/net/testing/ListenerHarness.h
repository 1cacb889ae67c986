#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/net/TlsPskListener.h"
#include "OrvaneKit/net/testing/TransportProbe.h"

namespace orvane {

// A listener on an ephemeral port that starts every accepted transport (unless told to refuse)
// and keeps probes on them.
struct ListenerHarness {
    NetContext net{3};
    std::shared_ptr<TlsPskListener> listener;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::shared_ptr<Transport>> accepted;
    std::vector<std::unique_ptr<TransportProbe>> probes;
    std::vector<ConnState> listenerStates;
    std::atomic<bool> refuse{false};

    explicit ListenerHarness(
        SessionParams params, std::optional<std::string> bind = "127.0.0.1",
        std::size_t unfinishedPerAddress = TlsPskListener::maxUnfinishedPerAddress,
        std::size_t unfinishedTotal = TlsPskListener::maxUnfinishedTotal) {
        TlsPskListener::Options o;
        o.port = 0;
        o.bindAddress = std::move(bind);
        o.params = std::move(params);
        o.unfinishedPerAddress = unfinishedPerAddress;
        o.unfinishedTotal = unfinishedTotal;
        listener = TlsPskListener::make(net, o);
        listener->setStateHandler([this](const ConnState& s) {
            std::lock_guard lock(mutex);
            listenerStates.push_back(s);
            cv.notify_all();
        });
        listener->setNewConnectionHandler([this](std::shared_ptr<Transport> t) {
            std::lock_guard lock(mutex);
            if (refuse) {
                t->cancel();
            } else {
                probes.push_back(std::make_unique<TransportProbe>(t));
                t->start();
            }
            accepted.push_back(std::move(t));
            cv.notify_all();
        });
        listener->start();
    }
    ~ListenerHarness() {
        listener->cancel();
        {
            std::lock_guard lock(mutex);
            for (auto& t : accepted) t->cancel();
        }
        // Handlers capture this harness: no more of them may run once its members go.
        net.stop();
    }
    bool waitListener(std::size_t index) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10),
                           [&] { return listenerStates.size() > index; });
    }
    bool waitAccepted(std::size_t n) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return accepted.size() >= n; });
    }
    TransportProbe& probe(std::size_t i) {
        std::lock_guard lock(mutex);
        return *probes.at(i);
    }
    std::uint16_t port() {
        EXPECT_TRUE(waitListener(0));
        return listener->port();
    }
};

}  // namespace orvane
