#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QMenu>
#include <QSystemTrayIcon>
#include <memory>

#include "Orvane_Host/ui/HostMenuView.h"
#include "Orvane_Host/ui/HostModel.h"

namespace orvane {

// Where the host shows itself: the window "Orvane Host", opened at launch and closed without
// quitting, and the tray icon, whose click opens the same view as a popup. A desktop without a
// tray host keeps just the window.
class DesktopShell : public QObject {
    Q_OBJECT
public:
    struct Services {
        HostController& host;
        Pasteboard& pasteboard;
        TimerService& timers;
        MainActor& mainActor;
        // Empty: the controller's own pairing link.
        std::function<std::optional<HostMenuView::PairingLink>(const std::string&)> pairing;
        std::function<void(const std::filesystem::path&)> reveal;
        std::function<void()> openSettings;
        std::function<void()> checkForUpdates;
        std::function<void()> quit;
        std::function<void(SettingsOpener::Page)> openPermissionSettings;
    };
    explicit DesktopShell(Services services);
    ~DesktopShell() override;

    QMainWindow& window() { return *window_; }
    HostModel& model() { return model_; }
    QSystemTrayIcon* tray() { return tray_.get(); }
    void togglePopup();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void updateTrayIcon();
    HostMenuView::Services viewServices();

    Services s_;
    HostModel model_;
    std::unique_ptr<QMainWindow> window_;
    std::unique_ptr<QMenu> trayMenu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    std::unique_ptr<HostMenuView> popup_;
    // When the popup last went away because the person clicked elsewhere.
    QElapsedTimer dismissed_;
};

}  // namespace orvane
