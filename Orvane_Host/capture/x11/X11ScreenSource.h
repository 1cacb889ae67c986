#pragma once

#include <string>

#include "Orvane_Host/capture/ScreenSource.h"

namespace orvane {

// Screen capture from an X server: displays are its RandR monitors (the whole root window when
// the server has none), grabbed with MIT-SHM when the server offers it. Damage reports decide
// when to grab, so a still screen costs nothing; a server without them has every frame interval
// grabbed and delivered (wrap the source in UnchangedFrameFilter). Excluded windows are left out
// by composing the other windows' off-screen contents over the desktop background. Frames carry no
// pointer: wrap the source in CursorOverlaySource with an X11CursorSource for that.
class X11ScreenSource : public ScreenSource {
public:
    // Error codes of the PlatformErrors this source throws or reports (domain "X11").
    enum Code {
        cannotOpen = 1,     // no server at the display name
        missingExtension,   // a required extension is absent
        unsupportedVisual,  // root pixels are not 32-bit BGRX
        displayGone,        // the monitor was removed
        connectionLost,     // the server went away
        grabFailed,
    };

    // `displayName` empty means $DISPLAY.
    explicit X11ScreenSource(std::string displayName = {});

    std::vector<CaptureDisplay> displays() override;
    std::unique_ptr<ScreenStream> startStream(const CaptureDisplay& display,
                                              const StreamConfig& config, StreamSink sink) override;
    // True when the server can compose the desktop from the windows' own contents (Composite
    // 0.2, RENDER, XFIXES 2, DAMAGE). Streams with excluded windows then take that path, which
    // redirects every top-level off-screen while it runs; others grab the root.
    bool canExcludeWindows() const override;

    const std::string& displayName() const { return name_; }

private:
    std::string name_;
};

}  // namespace orvane
