#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/net/testing/ChildProcess.h"
#include "OrvaneKit/security/file/FileSecretStore.h"

namespace orvane {

// A private home for the orvane-host binary: its own XDG folders under the temporary folder,
// named after the running test, with the settings and keychain files the host reads, so a test
// can seed them before the start and read them afterwards. Removed with everything in it.
class HostHome {
public:
    static const std::string hostBinary;
    static const std::string peerBinary;

    HostHome();
    ~HostHome();
    HostHome(const HostHome&) = delete;
    HostHome& operator=(const HostHome&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    // $XDG_CONFIG_HOME/orvane-host/defaults.json
    SettingsStore& settings() { return settings_; }
    // $XDG_DATA_HOME/orvane/keychain.json
    SecretStore& keychain() { return keychain_; }
    // $XDG_DATA_HOME/com.nimbrel.kelsap.host/SessionHistory.json
    std::filesystem::path historyFile() const;
    // $XDG_STATE_HOME/orvane-host/host.log
    std::filesystem::path logFile() const;

    struct Running {
        std::unique_ptr<ChildProcess> process;  // killed when dropped
        pid_t pid = -1;
        std::uint16_t port = 0;  // 0 when the host did not come up
        std::string accessCode;
    };
    // How the host is started. By default it sees no display and no sound server, so a test
    // never captures the shared display or plays into a real one.
    struct Options {
        std::string display;      // $DISPLAY, e.g. a private XvfbServer's; empty: unset
        std::string pulseServer;  // $PULSE_SERVER, e.g. a PulseTestServer's; empty: none
        std::vector<std::pair<std::string, std::string>> env;  // further variables
        std::vector<std::string> args;                         // after "--port 0"
        std::chrono::seconds timeout = std::chrono::seconds(30);
    };
    // Starts the host on a free loopback port and waits until it shows where to connect.
    Running start(const Options& options);
    Running start(std::chrono::seconds timeout = std::chrono::seconds(30)) {
        Options options;
        options.timeout = timeout;
        return start(options);
    }

private:
    std::filesystem::path dir_;
    FileSettingsStore settings_;
    FileSecretStore keychain_;
};

std::string readFile(const std::filesystem::path& file);

}  // namespace orvane
