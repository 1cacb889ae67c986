#include "Orvane_Host/system/x11/X11DisplayPower.h"

#include <xcb/dpms.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

#include "OrvaneKit/base/Logger.h"

namespace orvane {

namespace {

const Logger& log() {
    static const Logger l{"com.nimbrel.kelsap.host", "power"};
    return l;
}

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

}  // namespace

bool X11DisplayPower::sleepDisplay() {
    // xcb reports protocol errors per request, so no process-wide Xlib handler is touched.
    std::unique_ptr<xcb_connection_t, Disconnect> c(
        xcb_connect(display_.empty() ? nullptr : display_.c_str(), nullptr));
    if (xcb_connection_has_error(c.get())) {
        log().notice("no X display to turn off");
        return false;
    }
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c.get(), &xcb_dpms_id);
    if (!ext || !ext->present) {
        log().notice("the X display has no power management");
        return false;
    }
    std::unique_ptr<xcb_dpms_capable_reply_t, decltype(&std::free)> capable(
        xcb_dpms_capable_reply(c.get(), xcb_dpms_capable(c.get()), nullptr), &std::free);
    if (!capable || !capable->capable) {
        log().notice("the X display cannot turn its monitors off");
        return false;
    }
    // Forcing a level only works while power management is on.
    xcb_generic_error_t* error = xcb_request_check(c.get(), xcb_dpms_enable_checked(c.get()));
    if (!error)
        error = xcb_request_check(c.get(),
                                  xcb_dpms_force_level_checked(c.get(), XCB_DPMS_DPMS_MODE_OFF));
    if (error) {
        log().error("the X display refused to turn off (error {})", int(error->error_code));
        std::free(error);
        return false;
    }
    return true;
}

}  // namespace orvane
