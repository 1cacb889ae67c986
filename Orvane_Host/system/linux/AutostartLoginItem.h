#pragma once

#include <filesystem>
#include <string>

#include "Orvane_Host/system/LoginItem.h"

namespace orvane {

// Open at login as a desktop autostart entry: "orvane-host.desktop" in the autostart folder,
// written whole or not at all. An entry that is switched off (Hidden=true, or the desktop's
// own "enabled" key false) counts as not registered. Nothing here ever needs approval.
class AutostartLoginItem final : public LoginItem {
public:
    static constexpr const char* fileName = "orvane-host.desktop";

    // `executable`: the absolute path the entry starts; `folder`: by default
    // $XDG_CONFIG_HOME/autostart.
    explicit AutostartLoginItem(std::filesystem::path executable,
                                std::filesystem::path folder = standardFolder());
    static std::filesystem::path standardFolder();

    Status status() const override;
    std::optional<std::string> registerItem() override;
    std::optional<std::string> unregisterItem() override;

    std::filesystem::path entry() const { return folder_ / fileName; }
    // `executable` as one argument of an Exec value: quoted where the format asks, with "%",
    // backslashes and line breaks escaped.
    static std::string execValue(const std::string& executable);

private:
    std::filesystem::path executable_;
    std::filesystem::path folder_;
};

}  // namespace orvane
