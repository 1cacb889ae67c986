#include "Orvane_Host/capture/x11/X11Compositor.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xcomposite.h>
#include <X11/extensions/shape.h>

#include <algorithm>
#include <stdexcept>

namespace orvane::x11 {

bool canCompose(Display* dpy) {
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XCompositeQueryExtension(dpy, &event, &error)) return false;
    if (!XCompositeQueryVersion(dpy, &major, &minor) || (major == 0 && minor < 2)) return false;
    if (!XRenderQueryExtension(dpy, &event, &error)) return false;
    if (!XFixesQueryExtension(dpy, &event, &error)) return false;
    major = 2;
    minor = 0;
    if (!XFixesQueryVersion(dpy, &major, &minor) || major < 2) return false;
    return XDamageQueryExtension(dpy, &event, &error);
}

X11Compositor::X11Compositor(Display* dpy, std::set<uint32_t> excluded)
    : dpy_(dpy), root_(DefaultRootWindow(dpy)), excludedClients_(std::move(excluded)) {
    if (!canCompose(dpy_))
        throw std::runtime_error(
            "The X server cannot compose windows (Composite, RENDER, XFIXES).");
    int error = 0;
    XDamageQueryExtension(dpy_, &damageEvent_, &error);
    haveShape_ = XShapeQueryExtension(dpy_, &shapeEvent_, &error);
    rootPixmapAtom_ = XInternAtom(dpy_, "_XROOTPMAP_ID", False);

    lastError() = 0;
    // Never a manual redirect: that fails under a running compositing manager and would leave
    // the real screen unpainted without one.
    XCompositeRedirectSubwindows(dpy_, root_, CompositeRedirectAutomatic);
    XSync(dpy_, False);
    if (lastError())
        throw std::runtime_error("The X server refused to redirect the windows off-screen.");
    selectRoot();
    createOffscreen();
    readBackground();
}

X11Compositor::~X11Compositor() {
    if (!dpy_) return;
    for (auto& [id, item] : items_) releaseItem(item, true);
    if (backgroundPicture_) XRenderFreePicture(dpy_, backgroundPicture_);
    destroyOffscreen();
    XCompositeUnredirectSubwindows(dpy_, root_, CompositeRedirectAutomatic);
    XSync(dpy_, False);
    lastError() = 0;  // windows that died meanwhile
}

void X11Compositor::selectRoot() {
    XWindowAttributes wa;
    long mask = SubstructureNotifyMask | PropertyChangeMask;
    if (XGetWindowAttributes(dpy_, root_, &wa)) mask |= wa.your_event_mask;
    XSelectInput(dpy_, root_, mask);
}

void X11Compositor::createOffscreen() {
    destroyOffscreen();
    XWindowAttributes wa;
    XGetWindowAttributes(dpy_, root_, &wa);
    rootWidth_ = wa.width;
    rootHeight_ = wa.height;
    offscreen_ = XCreatePixmap(dpy_, root_, static_cast<unsigned>(rootWidth_),
                               static_cast<unsigned>(rootHeight_), static_cast<unsigned>(wa.depth));
    offscreenPicture_ = XRenderCreatePicture(dpy_, offscreen_,
                                             XRenderFindVisualFormat(dpy_, wa.visual), 0, nullptr);
}

void X11Compositor::destroyOffscreen() {
    if (offscreenPicture_) XRenderFreePicture(dpy_, offscreenPicture_);
    if (offscreen_) XFreePixmap(dpy_, offscreen_);
    offscreenPicture_ = 0;
    offscreen_ = 0;
}

void X11Compositor::rootResized() {
    XWindowAttributes wa;
    if (!XGetWindowAttributes(dpy_, root_, &wa)) return;
    if (wa.width != rootWidth_ || wa.height != rootHeight_) createOffscreen();
}

// No window holds the desktop background; desktops that paint one leave its pixmap in
// _XROOTPMAP_ID. Without it the background is black.
void X11Compositor::readBackground() {
    if (backgroundPicture_) XRenderFreePicture(dpy_, backgroundPicture_);
    backgroundPicture_ = 0;
    background_ = 0;
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy_, root_, rootPixmapAtom_, 0, 1, False, XA_PIXMAP, &type, &format,
                           &count, &after, &data) == Success &&
        data && type == XA_PIXMAP && format == 32 && count == 1)
        background_ = static_cast<Pixmap>(*reinterpret_cast<unsigned long*>(data));
    if (data) XFree(data);
    if (!background_) return;
    XRenderPictureAttributes pa{};
    pa.repeat = RepeatNormal;
    lastError() = 0;
    backgroundPicture_ = XRenderCreatePicture(
        dpy_, background_, XRenderFindVisualFormat(dpy_, DefaultVisual(dpy_, DefaultScreen(dpy_))),
        CPRepeat, &pa);
    XSync(dpy_, False);
    if (lastError()) {  // a stale property naming a freed pixmap
        lastError() = 0;
        backgroundPicture_ = 0;
        background_ = 0;
    }
}

bool X11Compositor::intersects(const Item& item, const Rect& area) const {
    return area.intersects(
        {item.x, item.y, item.width + 2 * item.border, item.height + 2 * item.border});
}

bool X11Compositor::handleEvent(const XEvent& ev, const Rect& area, bool& changed) {
    if (ev.type == damageEvent_ + XDamageNotify) {
        const auto& d = reinterpret_cast<const XDamageNotifyEvent&>(ev);
        XDamageSubtract(dpy_, d.damage, None, None);
        auto it = items_.find(d.drawable);
        if (it != items_.end() && !it->second.excluded && intersects(it->second, area))
            changed = true;
        return true;
    }
    if (haveShape_ && ev.type == shapeEvent_ + ShapeNotify) {
        const auto& s = reinterpret_cast<const XShapeEvent&>(ev);
        auto it = items_.find(s.window);
        if (it != items_.end() && s.kind == ShapeBounding) {
            it->second.stale = true;
            if (!it->second.excluded) changed = true;
        }
        return true;
    }
    switch (ev.type) {
        case PropertyNotify:
            if (ev.xproperty.window != root_ || ev.xproperty.atom != rootPixmapAtom_) return false;
            readBackground();
            changed = true;
            return true;
        case CreateNotify:
            if (ev.xcreatewindow.parent != root_) return false;
            treeStale_ = true;
            return true;
        case DestroyNotify:
            if (ev.xdestroywindow.event != root_) return false;
            if (auto it = items_.find(ev.xdestroywindow.window); it != items_.end()) {
                if (it->second.viewable && !it->second.excluded) changed = true;
                releaseItem(it->second, false);
                items_.erase(it);
            }
            treeStale_ = true;
            return true;
        case MapNotify:
        case UnmapNotify: {
            const bool map = ev.type == MapNotify;
            const Window w = map ? ev.xmap.window : ev.xunmap.window;
            if ((map ? ev.xmap.event : ev.xunmap.event) != root_) return false;
            auto it = items_.find(w);
            if (it == items_.end()) {
                // Made since the last picture: where it lies is read with the tree.
                treeStale_ = true;
                if (map) changed = true;
            } else {
                it->second.viewable = map;
                it->second.stale = true;
                if (!map) releaseItem(it->second, true);
                if (!it->second.excluded) changed = true;
            }
            // A client mapped inside a frame can make a frame of an excluded window.
            if (map && !excludedClients_.empty()) treeStale_ = true;
            return true;
        }
        case ConfigureNotify: {
            const XConfigureEvent& c = ev.xconfigure;
            if (c.event != root_ || c.window == root_) return false;
            auto it = items_.find(c.window);
            if (it == items_.end()) {
                treeStale_ = true;
                changed = true;
                return true;
            }
            Item& item = it->second;
            const bool resized =
                c.width != item.width || c.height != item.height || c.border_width != item.border;
            const bool wasIn = intersects(item, area);
            item.x = c.x;
            item.y = c.y;
            item.width = c.width;
            item.height = c.height;
            item.border = c.border_width;
            if (resized) item.stale = true;  // the old pixmap no longer matches the window
            treeStale_ = true;               // may have been restacked
            if (item.viewable && !item.excluded && (wasIn || intersects(item, area)))
                changed = true;
            return true;
        }
        case GravityNotify:
            if (ev.xgravity.event != root_) return false;
            if (auto it = items_.find(ev.xgravity.window); it != items_.end()) {
                it->second.x = ev.xgravity.x;
                it->second.y = ev.xgravity.y;
            }
            changed = true;
            return true;
        case ReparentNotify:
            if (ev.xreparent.event != root_) return false;
            treeStale_ = true;
            changed = true;
            return true;
        case CirculateNotify:
            if (ev.xcirculate.event != root_) return false;
            treeStale_ = true;
            changed = true;
            return true;
        default:
            return false;
    }
}

void X11Compositor::addItem(Window w) {
    XWindowAttributes wa;
    if (!XGetWindowAttributes(dpy_, w, &wa)) return;  // gone already
    Item item;
    item.id = w;
    item.x = wa.x;
    item.y = wa.y;
    item.width = wa.width;
    item.height = wa.height;
    item.border = wa.border_width;
    item.viewable = wa.map_state == IsViewable;
    item.inputOnly = wa.c_class == InputOnly;
    item.visual = wa.visual;
    items_.emplace(w, item);
}

// Re-reads the stacking order and which top-levels hold the excluded windows. Only after
// structural events: per-frame queries would cost round trips per window.
void X11Compositor::refreshTree() {
    Window rootOut = 0, parent = 0;
    Window* kids = nullptr;
    unsigned count = 0;
    if (!XQueryTree(dpy_, root_, &rootOut, &parent, &kids, &count)) return;
    order_.assign(kids, kids + count);
    if (kids) XFree(kids);

    std::set<Window> present(order_.begin(), order_.end());
    for (auto it = items_.begin(); it != items_.end();) {
        if (!present.count(it->first)) {
            releaseItem(it->second, true);
            it = items_.erase(it);
        } else {
            ++it;
        }
    }
    for (Window w : order_)
        if (!items_.count(w)) addItem(w);

    // A managed window sits inside its manager's frame: leave out the frame.
    excludedTops_.clear();
    for (uint32_t client : excludedClients_) {
        Window w = client;
        for (int depth = 0; depth < 64; ++depth) {
            Window r = 0, p = 0;
            Window* k = nullptr;
            unsigned n = 0;
            if (!XQueryTree(dpy_, w, &r, &p, &k, &n)) {
                w = 0;
                break;
            }
            if (k) XFree(k);
            if (p == root_ || p == 0) break;
            w = p;
        }
        if (w) excludedTops_.insert(w);
    }
    for (auto& [id, item] : items_) {
        const bool excluded = excludedTops_.count(id) > 0;
        if (excluded != item.excluded) {
            item.excluded = excluded;
            item.stale = true;
            if (excluded) releaseItem(item, true);
        }
    }
    lastError() = 0;  // windows that went away between the event and our query
    treeStale_ = false;
}

void X11Compositor::refreshItem(Item& item) {
    releaseItem(item, true);
    item.stale = false;
    if (!item.viewable || item.inputOnly || item.excluded) return;
    lastError() = 0;
    XRenderPictFormat* format = XRenderFindVisualFormat(dpy_, item.visual);
    if (!format) return;
    // Windows with alpha (client-side shadows) blend; opaque ones replace.
    item.op = format->type == PictTypeDirect && format->direct.alphaMask ? PictOpOver : PictOpSrc;
    // The named pixmap includes the border, and must be named again after a resize or remap.
    item.pixmap = XCompositeNameWindowPixmap(dpy_, item.id);
    item.picture = XRenderCreatePicture(dpy_, item.pixmap, format, 0, nullptr);
    // Without the clip a shaped window's undefined pixels would paint over what lies below.
    item.shape = XFixesCreateRegionFromWindow(dpy_, item.id, WindowRegionBounding);
    if (haveShape_) XShapeSelectInput(dpy_, item.id, ShapeNotifyMask);
    // Changes in covered windows never reach the root: each window reports its own.
    item.damage = XDamageCreate(dpy_, item.id, XDamageReportNonEmpty);
    XSync(dpy_, False);
    if (lastError()) {  // it died or was unmapped meanwhile; its events will follow
        lastError() = 0;
        releaseItem(item, true);
        item.viewable = false;
    }
}

void X11Compositor::releaseItem(Item& item, bool alive) {
    if (item.damage && alive) XDamageDestroy(dpy_, item.damage);  // freed with its window
    if (item.picture) XRenderFreePicture(dpy_, item.picture);
    if (item.pixmap) XFreePixmap(dpy_, item.pixmap);
    if (item.shape) XFixesDestroyRegion(dpy_, item.shape);
    item.damage = 0;
    item.picture = 0;
    item.pixmap = 0;
    item.shape = 0;
    item.stale = true;
}

void X11Compositor::compose() {
    if (treeStale_) refreshTree();
    for (auto& [id, item] : items_)
        if (item.stale) refreshItem(item);

    if (backgroundPicture_) {
        XRenderComposite(dpy_, PictOpSrc, backgroundPicture_, None, offscreenPicture_, 0, 0, 0, 0,
                         0, 0, static_cast<unsigned>(rootWidth_),
                         static_cast<unsigned>(rootHeight_));
    } else {
        const XRenderColor black{0, 0, 0, 0xffff};
        XRenderFillRectangle(dpy_, PictOpSrc, offscreenPicture_, &black, 0, 0,
                             static_cast<unsigned>(rootWidth_), static_cast<unsigned>(rootHeight_));
    }
    for (Window w : order_) {  // bottom to top
        auto it = items_.find(w);
        if (it == items_.end()) continue;
        const Item& item = it->second;
        if (!item.picture || item.excluded || !item.viewable) continue;
        XFixesSetPictureClipRegion(dpy_, offscreenPicture_, item.x + item.border,
                                   item.y + item.border, item.shape);
        XRenderComposite(dpy_, item.op, item.picture, None, offscreenPicture_, 0, 0, 0, 0, item.x,
                         item.y, static_cast<unsigned>(item.width + 2 * item.border),
                         static_cast<unsigned>(item.height + 2 * item.border));
    }
    XFixesSetPictureClipRegion(dpy_, offscreenPicture_, 0, 0, None);
}

}  // namespace orvane::x11
