#include "Orvane_Host/ui/overlays/AnnotationLayer.h"

#include <QBitmap>
#include <QPainter>
#include <QPen>
#include <algorithm>
#include <cmath>

namespace orvane {
namespace {

// Farther than this (in screens) a point only makes the stroker work, never a visible line.
constexpr float farOff = 1e4f;

QPen penFor(const StrokeDrawing& d) {
    QPen pen(d.colour, d.penWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    pen.setMiterLimit(10);
    return pen;
}

void paintOne(QPainter& p, const StrokeDrawing& d) {
    if (d.dot) {
        QPointF c = d.path.elementAt(0);
        double r = d.penWidth / 2;
        p.setPen(Qt::NoPen);
        p.setBrush(d.colour);
        p.drawEllipse(c, r, r);
        return;
    }
    p.setPen(penFor(d));
    p.setBrush(Qt::NoBrush);
    p.drawPath(d.path);
}

}  // namespace

std::optional<StrokeDrawing> strokeDrawing(const AnnotationStroke& stroke, QSizeF canvas) {
    if (stroke.points.size() <= 3 || !std::isfinite(stroke.width)) return std::nullopt;
    float rgba[4] = {1, 1, 1, 1};
    for (std::size_t i = 0; i < 4 && i < stroke.color.size(); ++i) {
        if (!std::isfinite(stroke.color[i])) return std::nullopt;
        rgba[i] = std::clamp(stroke.color[i], 0.0f, 1.0f);
    }
    StrokeDrawing d;
    d.colour = QColor::fromRgbF(rgba[0], rgba[1], rgba[2], rgba[3]);
    const double w = canvas.width(), h = canvas.height();
    d.penWidth = std::clamp(static_cast<double>(stroke.width) * w, 0.0, 2 * w);

    int kept = 0;
    bool allSame = true;
    QPointF first;
    for (std::size_t i = 0; i + 1 < stroke.points.size(); i += 2) {
        float x = stroke.points[i], y = stroke.points[i + 1];
        if (!std::isfinite(x) || !std::isfinite(y) || std::fabs(x) > farOff ||
            std::fabs(y) > farOff)
            continue;
        QPointF pt(x * w, y * h);
        if (kept == 0) {
            d.path.moveTo(pt);
            first = pt;
        } else {
            d.path.lineTo(pt);
            allSame = allSame && pt == first;
        }
        ++kept;
    }
    if (kept < 2) return std::nullopt;
    // A zero-length line has no direction for its caps to follow: paint the dot itself.
    d.dot = allSame;
    return d;
}

AnnotationLayer::AnnotationLayer(AnnotationModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    setObjectName("annotationLayer");
    setAttribute(Qt::WA_NoSystemBackground);
    changed_ = model_.changed().connect([this](const AnnotationModel::Strokes&) { refresh(); });
}

void AnnotationLayer::setTranslucent(bool translucent) {
    translucent_ = translucent;
    setAttribute(Qt::WA_TranslucentBackground, translucent);
    refresh();
}

void AnnotationLayer::paintStrokes(QPainter& painter, QSizeF canvas, bool opaque) const {
    // Soft edges would blend with whatever the mask leaves undefined.
    painter.setRenderHint(QPainter::Antialiasing, !opaque);
    for (const auto& stroke : model_.strokes()) {
        auto d = strokeDrawing(stroke, canvas);
        if (!d) continue;
        if (opaque) d->colour.setAlphaF(1);
        paintOne(painter, *d);
    }
}

void AnnotationLayer::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (translucent_) {
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.fillRect(rect(), Qt::transparent);
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }
    paintStrokes(p, size(), !translucent_);
}

void AnnotationLayer::resizeEvent(QResizeEvent*) {
    refresh();
}

void AnnotationLayer::refresh() {
    if (!translucent_ && width() > 0 && height() > 0) {
        // Only the strokes' own pixels belong to the window; the rest of the screen shows through.
        QBitmap mask(size());
        mask.fill(Qt::color0);
        QPainter p(&mask);
        for (const auto& stroke : model_.strokes()) {
            auto d = strokeDrawing(stroke, size());
            if (!d) continue;
            d->colour = Qt::color1;
            paintOne(p, *d);
        }
        p.end();
        setMask(mask);
    }
    update();
}

}  // namespace orvane
