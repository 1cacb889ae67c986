#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace orvane {

// The machine's name as people know it: for the network advertisement, the helloAck, chat from
// the machine, pairing links and the user interface.
struct MachineName {
    static constexpr const char* machineInfoPath = "/etc/machine-info";
    static constexpr const char* fallback = "Mac";

    // The "pretty" name the desktop's settings store (PRETTY_HOSTNAME), else the host name, else
    // "Mac". Never empty.
    static std::string displayName();
    static std::string displayName(const std::filesystem::path& machineInfo,
                                   const std::function<std::optional<std::string>()>& hostName);

    // PRETTY_HOSTNAME from a machine-info file (shell-style assignments, quotes and escapes
    // allowed); nullopt when the file, the key or a value is missing.
    static std::optional<std::string> prettyHostname(const std::filesystem::path& machineInfo);
    // gethostname(); nullopt when unset (empty, or the kernel's "(none)").
    static std::optional<std::string> systemHostName();
};

inline std::string macDisplayName() {
    return MachineName::displayName();
}

}  // namespace orvane
