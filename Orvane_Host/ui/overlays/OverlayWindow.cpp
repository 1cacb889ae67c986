#include "Orvane_Host/ui/overlays/OverlayWindow.h"

#include <xcb/xcb.h>
#include <xcb/xcb_icccm.h>

#include <QGuiApplication>
#include <cstdlib>
#include <string>

namespace orvane::overlay {
namespace {

xcb_connection_t* connection() {
    if (!onX11()) return nullptr;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

// The screen number of DISPLAY (":0.1" → 1); Qt opens the default screen.
int screenNumber() {
    const char* display = std::getenv("DISPLAY");
    if (!display) return 0;
    std::string d = display;
    auto colon = d.rfind(':');
    auto dot = d.find('.', colon == std::string::npos ? 0 : colon);
    return dot == std::string::npos ? 0 : std::atoi(d.c_str() + dot + 1);
}

}  // namespace

bool onX11() {
    return qGuiApp && QGuiApplication::platformName() == QLatin1String("xcb");
}

void prepare(QWidget* window, bool clickThrough) {
    Qt::WindowFlags flags = Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                            Qt::X11BypassWindowManagerHint | Qt::WindowDoesNotAcceptFocus |
                            Qt::NoDropShadowWindowHint | Qt::Tool;
    if (clickThrough) flags |= Qt::WindowTransparentForInput;
    window->setWindowFlags(flags);
    window->setAttribute(Qt::WA_ShowWithoutActivating);
    window->setAttribute(Qt::WA_X11DoNotAcceptFocus);
    window->setFocusPolicy(Qt::NoFocus);
}

bool compositing() {
    auto* c = connection();
    if (!c) return false;
    std::string name = "_NET_WM_CM_S" + std::to_string(screenNumber());
    auto atomCookie = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.c_str());
    auto* atom = xcb_intern_atom_reply(c, atomCookie, nullptr);
    if (!atom) return false;
    auto* owner = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr);
    bool owned = owner && owner->owner != XCB_NONE;
    std::free(owner);
    std::free(atom);
    return owned;
}

void setAspectHint(QWidget* window, int width, int height) {
    auto* c = connection();
    if (!c || width <= 0 || height <= 0) return;
    auto id = static_cast<xcb_window_t>(window->winId());
    xcb_size_hints_t hints{};
    // Keep what the window already asks for (Qt writes its minimum and maximum sizes there).
    auto cookie = xcb_icccm_get_wm_normal_hints(c, id);
    if (!xcb_icccm_get_wm_normal_hints_reply(c, cookie, &hints, nullptr)) hints = {};
    xcb_icccm_size_hints_set_aspect(&hints, width, height, width, height);
    xcb_icccm_set_wm_normal_hints(c, id, &hints);
    xcb_flush(c);
}

void OverlayStack::raise(QWidget* window) {
    if (window) window->raise();
    raiseCurtains();
}

void OverlayStack::setCurtains(std::vector<QWidget*> curtains) {
    curtains_.assign(curtains.begin(), curtains.end());
}

void OverlayStack::raiseCurtains() {
    for (auto& c : curtains_)
        if (c) c->raise();
}

}  // namespace orvane::overlay
