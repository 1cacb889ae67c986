#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "OrvaneKit/net/testing/ChildProcess.h"
#include "OrvaneKit/protocol/Json.h"

namespace orvane {

// The orvane-peer tool as one viewer device: its own keychain file (so its own identity),
// dialling a host on loopback and running a script of steps.
class ViewerPeer {
public:
    ViewerPeer(std::filesystem::path dir, std::string name);

    const std::string& name() const { return name_; }
    const std::filesystem::path& keychain() const { return keychain_; }
    // The identity fingerprint the device proves in the handshake (made on first use).
    std::string fingerprint() const;

    // Connects with this device's name and runs `script`, one step a line; `extra` flags follow.
    std::unique_ptr<ChildProcess> connect(std::uint16_t port, const std::string& code,
                                          const std::string& script,
                                          std::vector<std::string> extra = {});

    // The message lines of the output, in order; only those of `type` when it is given.
    static std::vector<json::Value> messages(const std::string& output,
                                             const std::string& type = "");
    // Waits until `count` messages of `type` have arrived; false on time-out.
    static bool waitForMessages(const ChildProcess& peer, const std::string& type,
                                std::size_t count, std::chrono::milliseconds timeout);

private:
    std::filesystem::path dir_;
    std::string name_;
    std::filesystem::path keychain_;
    int scripts_ = 0;
};

}  // namespace orvane
