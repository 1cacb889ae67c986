#pragma once

#include <QColor>
#include <QPainterPath>
#include <QWidget>
#include <optional>

#include "OrvaneKit/base/Signal.h"
#include "Orvane_Host/session/AnnotationModel.h"

namespace orvane {

// One stroke ready to paint on a canvas of a given size.
struct StrokeDrawing {
    QPainterPath path;
    QColor colour;
    double penWidth = 0;
    // All points at one place: drawn as a round dot of the pen's width.
    bool dot = false;
};

// The stroke as it is painted, or nothing when it has fewer than two usable points or values
// that are not finite. The pen is held to twice the canvas width and points more than 10^4
// screens away are left out, so a hostile stroke costs no more than a sane one.
std::optional<StrokeDrawing> strokeDrawing(const AnnotationStroke& stroke, QSizeF canvas);

// Paints the viewers' strokes, oldest first, over a whole screen. Without a compositing manager
// it cuts itself to the strokes and paints them opaque, as nothing can blend there.
class AnnotationLayer : public QWidget {
    Q_OBJECT
public:
    explicit AnnotationLayer(AnnotationModel& model, QWidget* parent = nullptr);
    void setTranslucent(bool translucent);
    void paintStrokes(QPainter& painter, QSizeF canvas, bool opaque) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();

    AnnotationModel& model_;
    bool translucent_ = false;
    SignalConnection changed_;
};

}  // namespace orvane
