#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrender.h>

#include <cstdint>
#include <set>
#include <unordered_map>
#include <vector>

#include "Orvane_Host/capture/x11/X11Monitors.h"

namespace orvane::x11 {

// Whether the server can compose the desktop without some windows: Composite 0.2, RENDER and
// XFIXES 2 are needed.
bool canCompose(Display* dpy);

// Builds pictures of the desktop from the top-level windows' own contents, leaving some windows
// out, into a root-sized pixmap that the capture reads instead of the root. While it lives, every
// top-level is redirected off-screen (automatic redirection: the screen itself still shows
// everything, and a running compositing manager keeps working). What a compositing manager adds
// (shadows, fades) is not in the picture.
//
// Lives on one connection and one thread; the owner passes it every event it reads.
class X11Compositor {
public:
    // `excluded` holds client window ids; each is mapped to the top-level that holds it (its
    // window manager's frame, or itself). Throws std::runtime_error when redirection fails.
    X11Compositor(Display* dpy, std::set<uint32_t> excluded);
    ~X11Compositor();
    X11Compositor(const X11Compositor&) = delete;
    X11Compositor& operator=(const X11Compositor&) = delete;

    // Takes the events meant for it; true when the event was one. Sets `changed` when the event
    // touched something on `area` (root coordinates) that the next picture would show.
    bool handleEvent(const XEvent& ev, const Rect& area, bool& changed);
    // The root changed size (RandR): the picture follows.
    void rootResized();
    // The connection died: the destructor then sends nothing.
    void forget() { dpy_ = nullptr; }
    // Paints the current picture into pixmap().
    void compose();
    Pixmap pixmap() const { return offscreen_; }

private:
    struct Item {
        Window id = 0;
        int x = 0, y = 0, width = 0, height = 0, border = 0;
        bool viewable = false;
        bool inputOnly = false;
        bool excluded = false;
        Visual* visual = nullptr;
        int op = 0;
        Pixmap pixmap = 0;
        Picture picture = 0;
        XserverRegion shape = 0;  // window-relative bounding shape
        Damage damage = 0;
        bool stale = true;  // contents must be named again before the next picture
    };

    void selectRoot();
    void createOffscreen();
    void destroyOffscreen();
    void readBackground();
    void refreshTree();
    void addItem(Window w);
    void refreshItem(Item& item);
    void releaseItem(Item& item, bool alive);
    bool intersects(const Item& item, const Rect& area) const;

    Display* dpy_;
    Window root_;
    std::set<uint32_t> excludedClients_;
    std::set<Window> excludedTops_;
    int damageEvent_ = 0, shapeEvent_ = 0;
    bool haveShape_ = false;

    int rootWidth_ = 0, rootHeight_ = 0;
    Pixmap offscreen_ = 0;
    Picture offscreenPicture_ = 0;
    Pixmap background_ = 0;  // owned by whoever set the desktop background
    Picture backgroundPicture_ = 0;
    Atom rootPixmapAtom_ = 0;

    std::vector<Window> order_;  // bottom to top
    std::unordered_map<Window, Item> items_;
    bool treeStale_ = true;
};

}  // namespace orvane::x11
