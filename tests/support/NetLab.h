#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "OrvaneKit/net/testing/ChildProcess.h"

namespace orvane {

// The command line of coturn answering STUN only (no relaying, no TLS) on `address`:`port`,
// logging to stdout.
std::vector<std::string> stunOnlyCoturn(const std::string& address, std::uint16_t port);

// Network namespaces joined by veth pairs, for tests that need routers, NATs and broadcasts of
// their own. Everything a lab made (namespaces, with their links, nft tables and the processes
// started in them, and its folder) goes when the lab does, when the process exits or is stopped
// by a signal, and, after a kill that left no chance, when the next lab starts.
class NetLab {
public:
    // Why labs cannot be made here (not root, or one of `tools` missing), or none.
    static std::optional<std::string> unavailable(const std::vector<std::string>& tools = {});

    NetLab();
    ~NetLab();
    NetLab(const NetLab&) = delete;
    NetLab& operator=(const NetLab&) = delete;

    // A namespace with its loopback up; returns its full name, unique to this process.
    std::string addNamespace(const std::string& shortName);
    // A veth pair: `ifA` in namespace `a`, `ifB` in `b`, both up, without addresses.
    void link(const std::string& a, const std::string& ifA, const std::string& b,
              const std::string& ifB);
    // A shell command in a namespace; throws with its output when it fails.
    std::string sh(const std::string& ns, const std::string& command);
    std::pair<int, std::string> trySh(const std::string& ns, const std::string& command);
    // A program running in a namespace until the returned process is dropped.
    std::unique_ptr<ChildProcess> spawn(const std::string& ns, std::vector<std::string> argv);
    // Runs `f` on a thread of its own that joined the namespace's network: sockets it opens,
    // interface tables it reads and processes it starts are the namespace's.
    template <class F>
    auto inNamespace(const std::string& ns, F f) -> decltype(f()) {
        std::optional<std::string> error;
        std::exception_ptr failure;
        if constexpr (std::is_void_v<decltype(f())>) {
            std::thread t([&] {
                if ((error = enter(ns))) return;
                try {
                    f();
                } catch (...) {
                    failure = std::current_exception();
                }
            });
            t.join();
            if (error) throw std::runtime_error(*error);
            if (failure) std::rethrow_exception(failure);
        } else {
            std::optional<decltype(f())> result;
            std::thread t([&] {
                if ((error = enter(ns))) return;
                try {
                    result.emplace(f());
                } catch (...) {
                    failure = std::current_exception();
                }
            });
            t.join();
            if (error) throw std::runtime_error(*error);
            if (failure) std::rethrow_exception(failure);
            return std::move(*result);
        }
    }

    // A folder for the lab's files (configurations, logs), removed with it.
    const std::filesystem::path& dir() const { return dir_; }

private:
    static std::optional<std::string> enter(const std::string& ns);

    std::string prefix_;
    std::vector<std::string> namespaces_;
    std::filesystem::path dir_;
};

}  // namespace orvane
