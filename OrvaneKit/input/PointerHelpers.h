#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <utility>

namespace orvane {

// How a viewer turns its own touches and trackpad gestures into pointer positions for the host.
namespace RemotePointer {

enum class Drag { movePointer, panZoom, dragSelect, clickDrag };

// The second flag wins over the third, the third over the first.
Drag dragMode(bool first, bool second, bool third);
std::pair<double, double> delta(double x1, double y1, double x2, double y2);

}  // namespace RemotePointer

// Keeps a quick second tap on the host position of the first, so a double tap double-clicks.
struct DoubleClickSnap {
    struct Tap {
        double time, viewX, viewY, macX, macY;
    };

    double maxInterval;  // seconds
    double maxDistance;  // in the viewer's view coordinates
    std::optional<Tap> last;

    DoubleClickSnap(double maxInterval, double maxDistance)
        : maxInterval(maxInterval), maxDistance(maxDistance) {}

    // The host position to use for a tap; remembers it, so a chain of quick taps stays put.
    std::pair<double, double> snap(double time, double viewX, double viewY, double macX,
                                   double macY);
};

enum class PointerMode { touch, trackpad };

inline constexpr std::array<PointerMode, 2> allPointerModes{PointerMode::touch,
                                                            PointerMode::trackpad};
std::string_view rawValue(PointerMode mode);
// Exact, case-sensitive; any other text gives none.
std::optional<PointerMode> pointerModeFromRaw(std::string_view text);

// A relative pointer inside the unit square, moved with a speed-dependent gain.
struct TrackpadPointer {
    double x = 0, y = 0;

    TrackpadPointer(double x, double y);
    void moveTo(double x, double y);
    // speed / 450, kept within [0.6, 2.6].
    static double gain(double speed);
    // dx and dy in view points; nothing happens for a view without area.
    void move(double dx, double dy, double speed, double width, double height);

    bool operator==(const TrackpadPointer&) const = default;
};

// Pushes the pointer sideways out of the screen's corners (where hot corners would fire).
namespace HotCornerGuard {
// (x, y) in the unit square; width, height and margin in one unit. Returns the new x.
double clamp(double x, double y, double width, double height, double margin);
}  // namespace HotCornerGuard

}  // namespace orvane
