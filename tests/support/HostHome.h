#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

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
        std::uint16_t browserPort = 0;  // once waitForBrowser() saw it
    };
    // Starts the host on a free loopback port and waits until it shows where to connect.
    Running start(std::chrono::seconds timeout = std::chrono::seconds(30));
    // With "browserAccess" on in the settings: waits until the browser server listens (on a
    // free port of its own) and notes the port; false when it does not.
    static bool waitForBrowser(Running& host,
                               std::chrono::seconds timeout = std::chrono::seconds(30));

private:
    std::filesystem::path dir_;
    FileSettingsStore settings_;
    FileSecretStore keychain_;
};

std::string readFile(const std::filesystem::path& file);

}  // namespace orvane
