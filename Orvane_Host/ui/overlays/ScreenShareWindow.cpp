#include "Orvane_Host/ui/overlays/ScreenShareWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <cmath>

#include "OrvaneKit/media/ffmpeg/VideoReceiver.h"
#include "Orvane_Host/ui/overlays/OverlayWindow.h"

namespace orvane {

bool FrameSink::put(QImage picture) {
    std::lock_guard lock(mutex_);
    latest_ = std::move(picture);
    return !std::exchange(fresh_, true);
}

QImage FrameSink::latest() {
    std::lock_guard lock(mutex_);
    fresh_ = false;
    return latest_;
}

ScreenShareWindow::ScreenShareWindow(const QString& title, std::shared_ptr<FrameSink> frames)
    : frames_(std::move(frames)) {
    setObjectName("screenShareWindow");
    setWindowTitle(title);
    setAttribute(Qt::WA_OpaquePaintEvent);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::black);
    setPalette(p);
    resize(390, 844);
    show();
    if (QScreen* s = QGuiApplication::primaryScreen()) {
        // Centred with its frame, where the window manager draws one.
        QRect frame = frameGeometry();
        frame.moveCenter(s->availableGeometry().center());
        move(frame.topLeft());
    }
    raise();
    activateWindow();
    layoutVideo();
}

int ScreenShareWindow::rotationFor(int orientation) {
    switch (orientation) {
        case 3:
        case 4:
            return 180;
        case 5:
        case 8:
            return -90;
        case 6:
        case 7:
            return 90;
        default:
            return 0;
    }
}

void ScreenShareWindow::setOrientation(int orientation) {
    orientation_ = orientation >= 1 && orientation <= 8 ? orientation : 1;
    layoutVideo();
}

void ScreenShareWindow::setVideoSize(QSizeF size) {
    videoSize_ = size;
    layoutVideo();
}

void ScreenShareWindow::layoutVideo() {
    const bool rotated = orientation_ >= 5;
    double w = videoSize_.width(), h = videoSize_.height();
    if (rotated) std::swap(w, h);
    if (w > 0 && h > 0) {
        aspect_ = QSize(static_cast<int>(std::lround(w)), static_cast<int>(std::lround(h)));
        overlay::setAspectHint(this, aspect_.width(), aspect_.height());
    }
    // Painting fits the picture to the current bounds each time: no animation to stop.
    update();
}

void ScreenShareWindow::showLatest() {
    picture_ = frames_->latest();
    update();
}

void ScreenShareWindow::closeQuietly() {
    onClose_ = nullptr;
    close();
}

void ScreenShareWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    if (picture_.isNull()) return;
    int angle = rotationFor(orientation_);
    // The picture's box: the window's bounds, swapped when the picture lies on its side.
    QSizeF box = size();
    if (angle == 90 || angle == -90) box.transpose();
    QSizeF fitted = QSizeF(picture_.size()).scaled(box, Qt::KeepAspectRatio);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.translate(width() / 2.0, height() / 2.0);
    p.rotate(angle);
    p.drawImage(QRectF(QPointF(-fitted.width() / 2, -fitted.height() / 2), fitted), picture_);
}

void ScreenShareWindow::resizeEvent(QResizeEvent*) {
    layoutVideo();
}

void ScreenShareWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    // The handler drops the owner's hold on this window: run it once the event is done with.
    if (auto run = std::exchange(onClose_, nullptr))
        QMetaObject::invokeMethod(this, std::move(run), Qt::QueuedConnection);
}

namespace {

// The device's video, decoded where it arrives; pictures and sizes go to the window on the
// main actor, and only while it exists.
class SharedScreenReceiver final : public IScreenReceiver {
public:
    SharedScreenReceiver(MainActor& actor, std::weak_ptr<ScreenShareWindow> window,
                         std::shared_ptr<FrameSink> frames, std::function<void()> needKeyframe) {
        decoder_.onNeedKeyframe = std::move(needKeyframe);
        decoder_.onSizeChange = [&actor, window](double w, double h) {
            actor.post([window, w, h] {
                if (auto win = window.lock()) win->setVideoSize(QSizeF(w, h));
            });
        };
        decoder_.onPicture = [&actor, window, frames](const DecodedPicture& picture) {
            QImage image(reinterpret_cast<const uchar*>(picture.pixels.data()), picture.width,
                         picture.height, picture.stride, QImage::Format_RGB32);
            if (!frames->put(image.copy())) return;
            actor.post([window] {
                if (auto win = window.lock()) win->showLatest();
            });
        };
    }
    void receive(Bytes frame) override { decoder_.receive(frame); }

private:
    VideoReceiver decoder_;
};

}  // namespace

IScreenShareWindows::Opened QtScreenShareWindows::open(const std::string& title,
                                                       std::function<void()> needKeyframe,
                                                       std::function<void()> onClose) {
    auto frames = std::make_shared<FrameSink>();
    auto window = std::make_shared<ScreenShareWindow>(QString::fromStdString(title), frames);
    window->setOnClose(std::move(onClose));
    auto receiver =
        std::make_shared<SharedScreenReceiver>(mainActor_, window, frames, std::move(needKeyframe));
    return {window, receiver};
}

}  // namespace orvane
