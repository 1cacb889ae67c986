#include "Orvane_Host/ui/overlays/CurtainView.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "Orvane_Host/ui/UiStyle.h"

namespace orvane {

CurtainView::CurtainView(QWidget* parent) : QWidget(parent) {
    setObjectName("curtain");
    setAttribute(Qt::WA_OpaquePaintEvent);
    const QColor ink(255, 255, 255, 217);     // white at 0.85
    const QColor dimmer(255, 255, 255, 140);  // the footer, a secondary shade of it

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* stack = new QVBoxLayout;
    stack->setSpacing(12);
    outer->addStretch();
    outer->addLayout(stack);
    outer->addStretch();

    auto* symbol = Symbols::label("lock.display", 44, ink, this);
    symbol->setObjectName("curtainSymbol");
    stack->addWidget(symbol, 0, Qt::AlignHCenter);

    auto* heading = plainLabel(title, FontRole::title2, this);
    heading->setObjectName("curtainTitle");
    QFont f = fontFor(FontRole::title2, QFont::DemiBold);
    heading->setFont(f);
    heading->setStyleSheet(QString("color: %1;").arg(ink.name(QColor::HexArgb)));
    stack->addWidget(heading, 0, Qt::AlignHCenter);

    auto* way = plainLabel(footer, FontRole::callout, this);
    way->setObjectName("curtainFooter");
    way->setStyleSheet(QString("color: %1;").arg(dimmer.name(QColor::HexArgb)));
    stack->addWidget(way, 0, Qt::AlignHCenter);
}

void CurtainView::paintEvent(QPaintEvent*) {
    QPainter(this).fillRect(rect(), Qt::black);
}

}  // namespace orvane
