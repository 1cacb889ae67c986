#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
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

    // Sets a variable in the host's environment for the next start. By default the update
    // check asks a loopback port where nothing listens, never the real server.
    void setEnvironment(const std::string& name, const std::string& value) {
        environment_[name] = value;
    }
    // $XDG_DATA_HOME/Orvane/Diagnostics
    std::filesystem::path diagnosticsFolder() const;

    struct Running {
        std::unique_ptr<ChildProcess> process;  // killed when dropped
        pid_t pid = -1;
        std::uint16_t port = 0;  // 0 when the host did not come up
        std::string accessCode;
        std::uint16_t browserPort = 0;  // once waitForBrowser() saw it
    };
    // The X display the host works on; none (the default) keeps it away from every display.
    void setDisplay(std::string display) { display_ = std::move(display); }

    // How the host is started. By default it sees no display and no sound server, so a test
    // never captures the shared display or plays into a real one.
    struct Options {
        std::string display;      // $DISPLAY, e.g. a private XvfbServer's; empty: unset
        std::string pulseServer;  // $PULSE_SERVER, e.g. a PulseTestServer's; empty: none
        std::vector<std::pair<std::string, std::string>> env;  // further variables
        std::vector<std::string> args;                         // after "--port 0"
        std::chrono::seconds timeout = std::chrono::seconds(30);
        // The largest file the host may write, in bytes (rounded down to 512), with the signal
        // for passing it ignored, so the write fails instead; 0: no limit.
        std::uint64_t fileSizeLimit = 0;
        // With a display, show the desktop interface on it; by default the host stays headless.
        bool desktop = false;
    };
    // Starts the host on a free loopback port and waits until it shows where to connect.
    Running start(const Options& options);
    Running start(std::chrono::seconds timeout = std::chrono::seconds(30)) {
        Options options;
        options.timeout = timeout;
        return start(options);
    }
    // With "browserAccess" on in the settings: waits until the browser server listens (on a
    // free port of its own) and notes the port; false when it does not.
    static bool waitForBrowser(Running& host,
                               std::chrono::seconds timeout = std::chrono::seconds(30));

private:
    std::filesystem::path dir_;
    FileSettingsStore settings_;
    FileSecretStore keychain_;
    std::map<std::string, std::string> environment_ = {
        {"ORVANE_UPDATE_SERVER", "https://127.0.0.1:9"}};
    std::string display_;
};

std::string readFile(const std::filesystem::path& file);

}  // namespace orvane
