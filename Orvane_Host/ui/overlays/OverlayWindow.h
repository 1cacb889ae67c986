#pragma once

#include <QPointer>
#include <QWidget>
#include <vector>

namespace orvane::overlay {

// Every overlay: no frame, never focused, left alone by the window manager (override-redirect),
// on every desktop. `clickThrough` also gives it an empty input shape.
void prepare(QWidget* window, bool clickThrough);

// Whether windows are drawn through a compositing manager, so translucent pixels blend. Without
// one they show black, and overlays cut themselves to shape and draw opaque instead.
bool compositing();

// Whether the application talks to an X server (not the offscreen platform of the tests).
bool onX11();

// Asks the window manager to keep the window's shape at width:height (the size hints' aspect).
void setAspectHint(QWidget* window, int width, int height);

// X has no window levels: whatever is raised last is on top. The curtains must stay above the
// border, pill and drawing, so every raise of one of those raises the curtains again after it.
class OverlayStack {
public:
    void raise(QWidget* window);
    void setCurtains(std::vector<QWidget*> curtains);
    void raiseCurtains();

private:
    std::vector<QPointer<QWidget>> curtains_;
};

}  // namespace orvane::overlay
