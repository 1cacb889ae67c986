#pragma once

#include "Orvane_Host/system/SettingsOpener.h"

namespace orvane {

// GNOME's settings at its privacy or accessibility panel when it is installed; elsewhere a
// short note, since other desktops have no page that grants these.
class DesktopSettingsOpener final : public SettingsOpener {
public:
    void open(Page page) override;
};

}  // namespace orvane
