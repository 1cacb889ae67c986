#include "Orvane_Host/system/x11/X11FrontmostApp.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace orvane {

namespace {

struct Disconnect {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    Reply<xcb_intern_atom_reply_t> r(
        xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 1, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr),
        &std::free);
    return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The property's bytes; empty when absent or on error (a window that went away meanwhile).
std::string property(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop, xcb_atom_t type,
                     std::uint32_t longs) {
    Reply<xcb_get_property_reply_t> r(
        xcb_get_property_reply(c, xcb_get_property(c, 0, w, prop, type, 0, longs), nullptr),
        &std::free);
    if (!r || r->type == XCB_ATOM_NONE) return {};
    auto* data = static_cast<const char*>(xcb_get_property_value(r.get()));
    return std::string(data, data + xcb_get_property_value_length(r.get()));
}

}  // namespace

std::optional<std::string> X11FrontmostApp::frontmostAppName() {
    std::unique_ptr<xcb_connection_t, Disconnect> c(
        xcb_connect(display_.empty() ? nullptr : display_.c_str(), nullptr));
    if (xcb_connection_has_error(c.get())) return std::nullopt;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c.get())).data;
    if (!screen) return std::nullopt;

    xcb_atom_t active = atom(c.get(), "_NET_ACTIVE_WINDOW");
    if (active == XCB_ATOM_NONE) return std::nullopt;
    std::string value = property(c.get(), screen->root, active, XCB_ATOM_WINDOW, 1);
    if (value.size() < sizeof(xcb_window_t)) return std::nullopt;
    xcb_window_t window;
    std::memcpy(&window, value.data(), sizeof window);
    if (window == XCB_WINDOW_NONE) return std::nullopt;

    // WM_CLASS holds the instance and the class, each ended by a NUL.
    std::string wmClass = property(c.get(), window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 256);
    std::string instance = wmClass.substr(0, wmClass.find('\0'));
    std::string cls;
    if (auto nul = wmClass.find('\0'); nul != std::string::npos) {
        cls = wmClass.substr(nul + 1);
        cls = cls.substr(0, cls.find('\0'));
    }
    for (const auto& key : {cls, instance})
        if (auto entry = entries_.findByWindowClass(key)) return entry->name;
    if (!cls.empty()) return cls;
    if (!instance.empty()) return instance;
    return std::nullopt;
}

}  // namespace orvane
