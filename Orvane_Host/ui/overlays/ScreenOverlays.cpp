#include "Orvane_Host/ui/overlays/ScreenOverlays.h"

#include <QBitmap>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <mutex>
#include <set>

#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/capture/ScreenCapturer.h"
#include "Orvane_Host/ui/overlays/AnnotationLayer.h"
#include "Orvane_Host/ui/overlays/ControlPill.h"
#include "Orvane_Host/ui/overlays/CurtainView.h"

namespace orvane {
namespace {

const Logger logger{"com.nimbrel.kelsap.host", "overlays"};

constexpr double borderLine = 5;
constexpr double borderRadius = 12;

// The ring of the border, inside the window's edge.
QPainterPath ringPath(QSizeF size, double inset) {
    QPainterPath p;
    QRectF r(QPointF(0, 0), size);
    r.adjust(inset, inset, -inset, -inset);
    p.addRoundedRect(r, borderRadius - inset, borderRadius - inset);
    return p;
}

}  // namespace

// A rounded ring around a whole screen, in the session's tint.
class SessionBorder : public QWidget {
public:
    SessionBorder() {
        setObjectName("sessionBorder");
        overlay::prepare(this, true);
        setAttribute(Qt::WA_NoSystemBackground);
    }
    void setTint(QColor tint) {
        tint_ = tint;
        update();
    }
    QColor tint() const { return tint_; }
    void setTranslucent(bool on) {
        translucent_ = on;
        setAttribute(Qt::WA_TranslucentBackground, on);
    }

protected:
    void resizeEvent(QResizeEvent*) override {
        if (translucent_) {
            clearMask();
            return;
        }
        // Without a compositor, only the ring itself may be part of the window.
        QBitmap mask(size());
        mask.fill(Qt::color0);
        QPainter p(&mask);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::color1);
        QPainterPath ring = ringPath(size(), 0).subtracted(ringPath(size(), borderLine));
        p.drawPath(ring);
        p.end();
        setMask(mask);
    }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        QColor c = tint_;
        if (translucent_) {
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.fillRect(rect(), Qt::transparent);
            p.setCompositionMode(QPainter::CompositionMode_SourceOver);
            c.setAlphaF(0.85);
        }
        p.setRenderHint(QPainter::Antialiasing, translucent_);
        QPen pen(c, borderLine, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
        pen.setMiterLimit(10);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawPath(ringPath(size(), borderLine / 2));
    }

private:
    QColor tint_ = controlTint;
    bool translucent_ = false;
};

ScreenOverlays::ScreenOverlays(Options options) : o_(std::move(options)) {
    // Queued: a screen being removed may still be in the list while the signal runs.
    connect(
        qGuiApp, &QGuiApplication::screenAdded, this, [this](QScreen*) { screensChanged(); },
        Qt::QueuedConnection);
    connect(
        qGuiApp, &QGuiApplication::screenRemoved, this, [this](QScreen*) { screensChanged(); },
        Qt::QueuedConnection);
}

ScreenOverlays::~ScreenOverlays() {
    if (monitoring_) o_.keys.stop();
}

QList<QScreen*> ScreenOverlays::screens() const {
    return o_.screens ? o_.screens() : QGuiApplication::screens();
}

QScreen* ScreenOverlays::screen(std::uint32_t displayID) const {
    auto list = screens();
    if (list.isEmpty()) return nullptr;
    if (auto name = o_.monitorName ? o_.monitorName(displayID) : std::nullopt) {
        for (QScreen* s : list)
            if (s->name() == QString::fromStdString(*name)) return s;
    }
    QScreen* primary = QGuiApplication::primaryScreen();
    return list.contains(primary) ? primary : list.front();
}

void ScreenOverlays::showSessionIndicator(std::uint32_t displayID, std::vector<std::string> names,
                                          bool support, StopAction stop) {
    QScreen* s = screen(displayID);
    if (!s) return;
    QColor tint = support ? supportTint : controlTint;
    const bool translucent = overlay::compositing();

    if (!border_) border_ = std::make_unique<SessionBorder>();
    border_->setTranslucent(translucent);
    border_->setTint(tint);
    border_->setGeometry(s->geometry());
    border_->show();
    stack_.raise(border_.get());

    if (!pill_) {
        pill_ = std::make_unique<ControlPill>();
        // Takes the Stop click, never the focus.
        overlay::prepare(pill_.get(), false);
    }
    pill_->setAttribute(Qt::WA_TranslucentBackground, translucent);
    pill_->set(ControlPill::textFor(names, support), tint, std::move(stop));
    QSize size = pill_->sizeHint();
    QRect avail = s->availableGeometry();
    pill_->setGeometry(avail.left() + (avail.width() - size.width()) / 2, avail.top() + 8,
                       size.width(), size.height());
    if (translucent)
        pill_->clearMask();
    else
        pill_->maskToCapsule();
    pill_->show();
    stack_.raise(pill_.get());
}

void ScreenOverlays::hideSessionIndicator() {
    if (border_) border_->hide();
    if (pill_) pill_->hide();
}

void ScreenOverlays::applyAnnotation(const AnnotationEvent& event, std::uint32_t displayID) {
    annotations_.apply(event);
    QScreen* s = annotations_.strokes().empty() ? nullptr : screen(displayID);
    if (!s) {
        if (drawing_) drawing_->hide();
        return;
    }
    if (!drawing_) {
        drawing_ = std::make_unique<AnnotationLayer>(annotations_);
        overlay::prepare(drawing_.get(), true);
    }
    drawing_->setTranslucent(overlay::compositing());
    drawing_->setGeometry(s->geometry());
    drawing_->show();
    stack_.raise(drawing_.get());
}

void ScreenOverlays::clearAnnotations() {
    annotations_.clear();
    if (drawing_) drawing_->hide();
}

std::optional<std::string> ScreenOverlays::takeCurtainError() {
    return std::exchange(curtainError_, std::nullopt);
}

bool ScreenOverlays::isCurtainStopKey(const KeyPress& key) {
    constexpr std::uint32_t period = 0x2e;
    constexpr std::uint32_t wanted = KeyPress::Control | KeyPress::Alt | KeyPress::Super;
    // Num Lock is a state, not a modifier someone holds: it may be on or off.
    std::uint32_t held = key.modifiers & ~static_cast<std::uint32_t>(KeyPress::NumLock);
    return key.keysym == period && held == wanted;
}

bool ScreenOverlays::setCurtain(bool on, StopAction stop) {
    bool up = !curtains_.empty();
    if (on == up) return false;
    if (!on) {
        lowerCurtain();
        return true;
    }
    return raiseCurtain(std::move(stop));
}

bool ScreenOverlays::raiseCurtain(StopAction stop) {
    // A curtain the capture shows would leave the viewer looking at black.
    if (!o_.canExcludeWindows || !o_.canExcludeWindows()) {
        curtainError_ = cannotExclude;
        return false;
    }
    auto screens = this->screens();
    // No window, no monitor: a later raise would otherwise install a second one.
    if (screens.isEmpty()) return false;

    // Made unmapped first: their ids must be in the excluded set before they show.
    std::set<std::uint32_t> ids;
    for (QScreen* s : screens) {
        auto c = std::make_unique<CurtainView>();
        overlay::prepare(c.get(), true);
        c->setScreen(s);
        c->setGeometry(s->geometry());
        ids.insert(static_cast<std::uint32_t>(c->winId()));
        curtains_.push_back(std::move(c));
    }
    {
        std::lock_guard lock(excludedWindowLock());
        excludedWindowIDs() = std::move(ids);
    }
    curtainStop_ = stop;
    monitoring_ = o_.keys.start([actor = &o_.mainActor, stop](const KeyPress& key) {
        if (isCurtainStopKey(key)) actor->post(stop);
    });
    if (!monitoring_) logger.notice("the curtain's key combination cannot be watched here");

    std::vector<QWidget*> windows;
    for (auto& c : curtains_) {
        c->show();
        windows.push_back(c.get());
    }
    stack_.setCurtains(windows);
    stack_.raiseCurtains();
    return true;
}

void ScreenOverlays::lowerCurtain() {
    for (auto& c : curtains_) c->hide();
    curtains_.clear();
    stack_.setCurtains({});
    {
        std::lock_guard lock(excludedWindowLock());
        excludedWindowIDs().clear();
    }
    if (monitoring_) o_.keys.stop();
    monitoring_ = false;
    curtainStop_ = nullptr;
}

void ScreenOverlays::screensChanged() {
    if (curtains_.empty()) return;
    // A new screen would stay uncovered, and a gone one leaves a window id the capture skips
    // for nothing: put the curtain up anew over the screens there are now.
    StopAction stop = curtainStop_;
    lowerCurtain();
    raiseCurtain(std::move(stop));
    if (onRebuilt_) onRebuilt_();
}

QWidget* ScreenOverlays::borderWindow() const {
    return border_.get();
}
ControlPill* ScreenOverlays::pill() const {
    return pill_.get();
}
AnnotationLayer* ScreenOverlays::annotationWindow() const {
    return drawing_.get();
}
std::vector<QWidget*> ScreenOverlays::curtainWindows() const {
    std::vector<QWidget*> out;
    for (const auto& c : curtains_) out.push_back(c.get());
    return out;
}

}  // namespace orvane
