#include "Orvane_Host/ui/overlays/ControlPill.h"

#include <QBitmap>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

#include "Orvane_Host/ui/UiStyle.h"

namespace orvane {
namespace {

constexpr int outerMargin = 4;

class Dot : public QWidget {
public:
    explicit Dot(const QColor* tint, QWidget* parent) : QWidget(parent), tint_(tint) {
        setFixedSize(9, 9);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(*tint_);
        p.drawEllipse(rect());
    }

private:
    const QColor* tint_;
};

}  // namespace

ControlPill::ControlPill(QWidget* parent) : QWidget(parent) {
    setObjectName("controlPill");
    auto* row = new QHBoxLayout(this);
    row->setSpacing(10);
    // Capsule padding inside the outer margin: leading 14, trailing, top and bottom 6.
    row->setContentsMargins(outerMargin + 14, outerMargin + 6, outerMargin + 6, outerMargin + 6);
    row->setSizeConstraint(QLayout::SetFixedSize);

    dot_ = new Dot(&tint_, this);
    dot_->setObjectName("pillDot");
    row->addWidget(dot_, 0, Qt::AlignVCenter);

    text_ = new QLabel(this);
    text_->setObjectName("pillText");
    text_->setTextFormat(Qt::PlainText);
    text_->setWordWrap(false);
    text_->setFont(fontFor(FontRole::callout, QFont::Medium));
    text_->setStyleSheet("color: white;");
    row->addWidget(text_, 0, Qt::AlignVCenter);

    stopButton_ = new QPushButton("Stop", this);
    stopButton_->setObjectName("pillStop");
    stopButton_->setFocusPolicy(Qt::NoFocus);
    stopButton_->setFont(fontFor(FontRole::caption));
    stopButton_->setCursor(Qt::PointingHandCursor);
    stopButton_->setStyleSheet(
        "QPushButton { color: white; background: rgb(255,59,48); border: none;"
        " border-radius: 6px; padding: 2px 10px; }"
        "QPushButton:pressed { background: rgb(200,40,32); }");
    connect(stopButton_, &QPushButton::clicked, this, [this] {
        // Stopping refreshes the pill, which replaces the action while it runs.
        if (auto stop = stop_) stop();
    });
    row->addWidget(stopButton_, 0, Qt::AlignVCenter);
}

QString ControlPill::textFor(const std::vector<std::string>& names, bool support) {
    QStringList list;
    for (const auto& n : names) list << QString::fromStdString(n);
    QString joined = list.join(", ");
    return support ? QStringLiteral("Support session · ") + joined
                   : joined + QStringLiteral(" is controlling this Mac");
}

void ControlPill::set(const QString& text, QColor tint, std::function<void()> stop) {
    text_->setText(text);
    setAccessibleName(text);
    tint_ = tint;
    stop_ = std::move(stop);
    layout()->activate();
    adjustSize();
    update();
}

QString ControlPill::text() const {
    return text_->text();
}

QRectF ControlPill::capsule() const {
    return QRectF(rect()).adjusted(outerMargin, outerMargin, -outerMargin, -outerMargin);
}

void ControlPill::maskToCapsule() {
    QBitmap mask(size());
    mask.fill(Qt::color0);
    QPainter p(&mask);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::color1);
    auto c = capsule();
    p.drawRoundedRect(c, c.height() / 2, c.height() / 2);
    p.end();
    setMask(mask);
}

void ControlPill::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 40, 44, testAttribute(Qt::WA_TranslucentBackground) ? 220 : 255));
    auto c = capsule();
    p.drawRoundedRect(c, c.height() / 2, c.height() / 2);
}

}  // namespace orvane
