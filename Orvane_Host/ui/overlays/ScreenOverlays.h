#pragma once

#include <QObject>
#include <QPointer>
#include <QScreen>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/MainActor.h"
#include "Orvane_Host/session/IScreenOverlays.h"
#include "Orvane_Host/system/KeyMonitor.h"
#include "Orvane_Host/ui/overlays/OverlayWindow.h"

namespace orvane {

class AnnotationLayer;
class ControlPill;
class CurtainView;
class SessionBorder;

// The windows drawn over this machine's own screens: the session border and control pill, the
// viewers' drawing and the privacy curtain. Main actor only; with no screen every call leaves the
// windows as they are.
class ScreenOverlays final : public QObject, public IScreenOverlays {
    Q_OBJECT
public:
    static constexpr const char* cannotExclude =
        "Couldn't blank this Mac's screen: the screen capture can't leave the curtain out.";

    struct Options {
        // Runs the stop action of the key combination; the monitor reports on its own thread.
        MainActor& mainActor;
        KeyMonitor& keys;
        // Whether captures started from now on can leave the curtain's windows out.
        std::function<bool()> canExcludeWindows;
        // A display id's monitor name; none when the id is unknown.
        std::function<std::optional<std::string>(std::uint32_t)> monitorName;
        // The screens in the system's order; empty means the application's.
        std::function<QList<QScreen*>()> screens = {};
    };
    explicit ScreenOverlays(Options options);
    ~ScreenOverlays() override;

    bool setCurtain(bool on, StopAction stop) override;
    void showSessionIndicator(std::uint32_t displayID, std::vector<std::string> names, bool support,
                              StopAction stop) override;
    void hideSessionIndicator() override;
    void clearAnnotations() override;
    void applyAnnotation(const AnnotationEvent& event, std::uint32_t displayID) override;
    AnnotationModel& annotations() override { return annotations_; }
    std::optional<std::string> takeCurtainError() override;

    // The screen showing a display: by monitor name, else the primary screen, else none.
    QScreen* screen(std::uint32_t displayID) const;
    // Control-Alt-Super-Period, on the main period key, without Shift or Caps Lock.
    static bool isCurtainStopKey(const KeyPress& key);
    // Runs after the curtain went up again by itself because screens came or went.
    void setOnCurtainRebuilt(std::function<void()> handler) { onRebuilt_ = std::move(handler); }
    // Runs when a screen comes or goes.
    void screensChanged();

    QWidget* borderWindow() const;
    ControlPill* pill() const;
    AnnotationLayer* annotationWindow() const;
    std::vector<QWidget*> curtainWindows() const;

private:
    bool raiseCurtain(StopAction stop);
    void lowerCurtain();
    QList<QScreen*> screens() const;

    Options o_;
    AnnotationModel annotations_;
    std::unique_ptr<SessionBorder> border_;
    std::unique_ptr<ControlPill> pill_;
    std::unique_ptr<AnnotationLayer> drawing_;
    std::vector<std::unique_ptr<CurtainView>> curtains_;
    StopAction curtainStop_;
    bool monitoring_ = false;
    std::optional<std::string> curtainError_;
    std::function<void()> onRebuilt_;
    overlay::OverlayStack stack_;
};

}  // namespace orvane
