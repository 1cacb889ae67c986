#pragma once

#include <string>

#include "Orvane_Host/capture/CursorSource.h"

namespace orvane {

// The X server's pointer: its position from pointer queries, its picture from XFIXES (read
// again only when the server reports a new one), on a connection and thread per watch.
class X11CursorSource final : public CursorSource {
public:
    // `displayName` empty means $DISPLAY.
    explicit X11CursorSource(std::string displayName = {});
    std::unique_ptr<CursorWatch> watch(std::chrono::nanoseconds interval,
                                       std::function<void(const CursorState&)> onTick) override;

private:
    std::string name_;
};

}  // namespace orvane
