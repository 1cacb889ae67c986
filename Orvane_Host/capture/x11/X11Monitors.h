#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef struct _XDisplay Display;

namespace orvane {

// One display of an X server as capture and input both name it: a RandR monitor, or the whole
// root window when the server has none. The ids are those viewers see in the display list.
struct X11Monitor {
    std::uint32_t id = 0;
    std::string name;
    int x = 0, y = 0, width = 0, height = 0;
    bool primary = false;
};

// Whether the server has RandR 1.5 monitors.
bool hasRandrMonitors(Display* dpy);
std::vector<X11Monitor> listX11Monitors(Display* dpy, bool haveRandr);

// Protocol errors are recorded per thread (see lastX11Error) instead of ending the process,
// and a lost connection goes to the connection's exit handler. Idempotent.
void installX11ErrorHandlers();
// The last protocol error code seen on this thread; reset it before a request to test it.
int& lastX11Error();

}  // namespace orvane
