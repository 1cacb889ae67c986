#pragma once

#include <QImage>
#include <QSizeF>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "OrvaneKit/base/MainActor.h"
#include "Orvane_Host/session/IScreenShareWindow.h"

namespace orvane {

// The latest decoded picture, handed from the decoding thread to the window.
class FrameSink {
public:
    // Returns true when the window still has to be told (the previous picture was taken).
    bool put(QImage picture);
    QImage latest();

private:
    std::mutex mutex_;
    QImage latest_;
    bool fresh_ = false;
};

// A device's shared screen: its picture fitted on black, turned upright for the device's
// orientation, the window held to the upright picture's shape. Main actor only.
class ScreenShareWindow : public QWidget, public IScreenShareWindow {
    Q_OBJECT
public:
    ScreenShareWindow(const QString& title, std::shared_ptr<FrameSink> frames);

    void setOrientation(int orientation) override;
    void layoutVideo() override;
    void closeQuietly() override;

    void setVideoSize(QSizeF size);
    void setOnClose(std::function<void()> onClose) { onClose_ = std::move(onClose); }
    // Takes the sink's latest picture and repaints.
    void showLatest();

    int orientation() const { return orientation_; }
    QSizeF videoSize() const { return videoSize_; }
    // The shape the window manager is asked to keep, width:height.
    QSize aspect() const { return aspect_; }
    // Clockwise on screen, in degrees; orientations outside 1 to 8 count as 1.
    static int rotationFor(int orientation);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    std::shared_ptr<FrameSink> frames_;
    QImage picture_;
    QSizeF videoSize_{1170, 2532};
    int orientation_ = 1;
    QSize aspect_;
    std::function<void()> onClose_;
};

// Opens a window per sharing device, its video decoded on the device's connection queue.
class QtScreenShareWindows final : public IScreenShareWindows {
public:
    explicit QtScreenShareWindows(MainActor& mainActor) : mainActor_(mainActor) {}
    Opened open(const std::string& title, std::function<void()> needKeyframe,
                std::function<void()> onClose) override;

private:
    MainActor& mainActor_;
};

}  // namespace orvane
