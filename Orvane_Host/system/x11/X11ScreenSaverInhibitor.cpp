#include "Orvane_Host/system/x11/X11ScreenSaverInhibitor.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

#include "OrvaneKit/base/Logger.h"

namespace orvane {

namespace {

const Logger& log() {
    static const Logger l{"com.nimbrel.kelsap.host", "power"};
    return l;
}

class Suspension final : public AwakeInhibitor::Activity {
public:
    explicit Suspension(Display* dpy) : dpy_(dpy) {}
    ~Suspension() override {
        XScreenSaverSuspend(dpy_, False);
        XCloseDisplay(dpy_);
    }

private:
    Display* dpy_;
};

class Nothing final : public AwakeInhibitor::Activity {};

}  // namespace

X11ScreenSaverInhibitor::X11ScreenSaverInhibitor(std::string displayName)
    : name_(std::move(displayName)) {}

std::unique_ptr<AwakeInhibitor::Activity> X11ScreenSaverInhibitor::begin(const std::string&) {
    Display* dpy = XOpenDisplay(name_.empty() ? nullptr : name_.c_str());
    if (!dpy) {
        log().error("cannot keep the display awake: no X display");
        return std::make_unique<Nothing>();
    }
    int event = 0, error = 0;
    if (!XScreenSaverQueryExtension(dpy, &event, &error)) {
        log().notice("the X server has no screen saver extension: nothing to suspend");
        XCloseDisplay(dpy);
        return std::make_unique<Nothing>();
    }
    XScreenSaverSuspend(dpy, True);
    XSync(dpy, False);
    return std::make_unique<Suspension>(dpy);
}

}  // namespace orvane
