#include "OrvaneKit/input/PointerHelpers.h"

#include <algorithm>
#include <cmath>

namespace orvane {

namespace {
double clampUnit(double v) {
    if (!(v > 0)) return 0;  // also for NaN
    return v > 1 ? 1 : v;
}
}  // namespace

RemotePointer::Drag RemotePointer::dragMode(bool first, bool second, bool third) {
    if (second) return Drag::dragSelect;
    if (third) return Drag::clickDrag;
    if (first) return Drag::panZoom;
    return Drag::movePointer;
}

std::pair<double, double> RemotePointer::delta(double x1, double y1, double x2, double y2) {
    return {x1 - x2, y1 - y2};
}

std::pair<double, double> DoubleClickSnap::snap(double time, double viewX, double viewY,
                                                double macX, double macY) {
    std::pair<double, double> result{macX, macY};
    if (last && last->time <= time && time - last->time < maxInterval &&
        std::hypot(viewX - last->viewX, viewY - last->viewY) < maxDistance)
        result = {last->macX, last->macY};
    last = Tap{time, viewX, viewY, result.first, result.second};
    return result;
}

std::string_view rawValue(PointerMode mode) {
    return mode == PointerMode::touch ? "touch" : "trackpad";
}

std::optional<PointerMode> pointerModeFromRaw(std::string_view text) {
    for (PointerMode m : allPointerModes)
        if (rawValue(m) == text) return m;
    return std::nullopt;
}

TrackpadPointer::TrackpadPointer(double x, double y) : x(clampUnit(x)), y(clampUnit(y)) {}

void TrackpadPointer::moveTo(double nx, double ny) {
    x = clampUnit(nx);
    y = clampUnit(ny);
}

double TrackpadPointer::gain(double speed) {
    return std::min(std::max(speed / 450.0, 0.6), 2.6);
}

void TrackpadPointer::move(double dx, double dy, double speed, double width, double height) {
    if (!(width > 0) || !(height > 0)) return;
    const double g = gain(speed);
    x = clampUnit(x + dx * g / width);
    y = clampUnit(y + dy * g / height);
}

double HotCornerGuard::clamp(double x, double y, double width, double height, double margin) {
    if (!(width > 0) || !(height > 0)) return x;
    const double mx = margin / width, my = margin / height;
    const bool inCorner = (x < mx || x > 1 - mx) && (y < my || y > 1 - my);
    if (!inCorner) return x;
    return x < 0.5 ? mx : 1 - mx;
}

}  // namespace orvane
