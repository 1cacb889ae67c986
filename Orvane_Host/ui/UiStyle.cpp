#include "Orvane_Host/ui/UiStyle.h"

#include <QApplication>
#include <QHash>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QVBoxLayout>

namespace orvane {

QFont fontFor(FontRole role, QFont::Weight weight) {
    QFont f = QApplication::font();
    double body = f.pointSizeF() > 0 ? f.pointSizeF() : 10.0;
    double points = 13;
    switch (role) {
        case FontRole::title2:
            points = 17;
            break;
        case FontRole::title3:
            points = 15;
            break;
        case FontRole::headline:
            points = 13;
            if (weight == QFont::Normal) weight = QFont::Bold;
            break;
        case FontRole::body:
            points = 13;
            break;
        case FontRole::callout:
            points = 12;
            break;
        case FontRole::subheadline:
            points = 11;
            break;
        case FontRole::caption:
            points = 10;
            break;
        case FontRole::caption2:
            points = 10;
            break;
    }
    f.setPointSizeF(body * points / 13.0);
    f.setWeight(weight);
    return f;
}

QColor secondaryTextColor() {
    QColor c = QApplication::palette().color(QPalette::WindowText);
    c.setAlphaF(0.6);
    return c;
}

namespace Symbols {
namespace {

QString themeName(const QString& symbol) {
    static const QHash<QString, QString> names = {
        {"macbook.and.iphone", "computer"},
        {"dot.radiowaves.left.and.right", "network-wireless"},
        {"doc.on.doc", "edit-copy"},
        {"checkmark", "object-select"},
        {"arrow.clockwise", "view-refresh"},
        {"exclamationmark.shield", "security-medium"},
        {"checkmark.circle.fill", "emblem-ok"},
        {"circle", "radio"},
        {"laptopcomputer", "computer"},
        {"iphone", "phone"},
        {"ipad", "computer-apple-ipad"},
        {"vision.pro", "video-display"},
        {"applewatch", "phone"},
        {"display", "video-display"},
        {"hand.point.up.left.fill", "input-mouse"},
        {"eye.fill", "view-reveal"},
        {"xmark.circle.fill", "window-close"},
        {"arrow.up.doc", "document-send"},
        {"arrow.up.circle", "go-up"},
        {"arrow.up.circle.fill", "mail-send"},
        {"lifepreserver", "help-browser"},
        {"pencil.slash", "edit-clear"},
        {"magnifyingglass", "system-search"},
        {"exclamationmark.triangle", "dialog-warning"},
        {"lock.display", "system-lock-screen"},
    };
    return names.value(symbol);
}

// A plain disc, for symbols the theme lacks.
QIcon fallback() {
    QPixmap p(32, 32);
    p.fill(Qt::transparent);
    QPainter painter(&p);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QApplication::palette().color(QPalette::WindowText), 3));
    painter.drawEllipse(QRectF(4, 4, 24, 24));
    return QIcon(p);
}

}  // namespace

QIcon icon(const QString& symbol) {
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == "hicolor") {
        QIcon::setThemeName("Adwaita");
    }
    QString name = themeName(symbol);
    if (!name.isEmpty()) {
        QIcon i = QIcon::fromTheme(name + "-symbolic", QIcon::fromTheme(name));
        if (!i.isNull()) return i;
    }
    return fallback();
}

void setSymbol(QLabel* label, const QString& symbol, int size, QColor colour) {
    QPixmap pixmap = icon(symbol).pixmap(size, size);
    if (colour.isValid() && !pixmap.isNull()) {
        // Symbolic icons are one colour; recolour them through their alpha.
        QPainter p(&pixmap);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(pixmap.rect(), colour);
    }
    label->setPixmap(pixmap);
    label->setProperty("symbol", symbol);
}

QLabel* label(const QString& symbol, int size, QColor colour, QWidget* parent) {
    auto* l = new QLabel(parent);
    setSymbol(l, symbol, size, colour);
    return l;
}

}  // namespace Symbols

CardFrame::CardFrame(Tint tint, bool centred, QWidget* parent)
    : QFrame(parent), tint_(tint), centred_(centred) {
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(8);
    layout->setContentsMargins(14, 14, 14, 14);
    if (centred) layout->setAlignment(Qt::AlignHCenter);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void CardFrame::setTint(Tint tint) {
    if (tint == tint_) return;
    tint_ = tint;
    update();
}

double CardFrame::tintOpacity() const {
    switch (tint_) {
        case Tint::orange:
            return 0.15;
        case Tint::green:
            return 0.12;
        case Tint::none:
            return 0;
    }
    return 0;
}

void CardFrame::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 18, 18);
    QColor fill = palette().color(QPalette::Base);
    fill.setAlphaF(0.85);
    p.fillPath(shape, fill);
    if (tint_ != Tint::none) {
        QColor t = tint_ == Tint::orange ? QColor(255, 149, 0) : QColor(52, 199, 89);
        t.setAlphaF(tintOpacity());
        p.fillPath(shape, t);
    }
    QColor edge = palette().color(QPalette::Mid);
    edge.setAlphaF(0.35);
    p.setPen(edge);
    p.drawPath(shape);
}

QLabel* plainLabel(const QString& text, FontRole role, QWidget* parent) {
    auto* l = new QLabel(parent);
    l->setTextFormat(Qt::PlainText);
    l->setText(text);
    l->setFont(fontFor(role));
    return l;
}

}  // namespace orvane
