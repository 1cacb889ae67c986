#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "Orvane_Host/system/DesktopEntries.h"
#include "Orvane_Host/system/FrontmostApp.h"

namespace orvane {

// The application of the window the window manager calls active (_NET_ACTIVE_WINDOW): the Name
// of the desktop entry that matches the window's class, else the class itself. Nothing without
// a window manager or an active window. A connection of its own per call; safe from any thread.
class X11FrontmostApp final : public FrontmostApp {
public:
    // `display` as in $DISPLAY; empty means $DISPLAY itself.
    explicit X11FrontmostApp(
        std::string display = "",
        std::vector<std::filesystem::path> applicationFolders = DesktopEntries::standardFolders())
        : display_(std::move(display)), entries_(std::move(applicationFolders)) {}
    std::optional<std::string> frontmostAppName() override;

private:
    std::string display_;
    DesktopEntries entries_;
};

}  // namespace orvane
