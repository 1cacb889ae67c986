#pragma once

#include <string>

#include "Orvane_Host/system/Workspace.h"

namespace orvane {

// Hands the address to the desktop's opener (xdg-open), which picks the default application.
// The opener runs detached; its exit is collected on a thread of its own.
class XdgWorkspace final : public Workspace {
public:
    explicit XdgWorkspace(std::string program = "xdg-open") : program_(std::move(program)) {}
    // An empty address, or one that would read as an option, is refused.
    bool openURL(const std::string& url) override;

private:
    std::string program_;
};

}  // namespace orvane
