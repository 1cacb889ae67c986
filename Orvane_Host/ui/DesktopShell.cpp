#include "Orvane_Host/ui/DesktopShell.h"

#include <QAction>
#include <QGuiApplication>
#include <QLayout>
#include <QMenuBar>
#include <QScreen>

#include "Orvane_Host/ui/UiStyle.h"

namespace orvane {

DesktopShell::DesktopShell(Services services) : s_(std::move(services)), model_(s_.host) {
    window_ = std::make_unique<QMainWindow>();
    window_->setWindowTitle("Orvane Host");
    window_->setObjectName("main");
    auto* view = new HostMenuView(viewServices());
    window_->setCentralWidget(view);
    // The window's size follows its content.
    window_->layout()->setSizeConstraint(QLayout::SetFixedSize);
    auto* menu = window_->menuBar()->addMenu("Orvane");
    connect(menu->addAction("Check for Updates\u2026"), &QAction::triggered, this,
            [this] { s_.checkForUpdates(); });
    auto* settings = menu->addAction("Settings\u2026");
    connect(settings, &QAction::triggered, this, [this] { s_.openSettings(); });
    menu->addSeparator();
    connect(menu->addAction("Quit Orvane"), &QAction::triggered, this, [this] { s_.quit(); });

    trayMenu_ = std::make_unique<QMenu>();
    connect(trayMenu_->addAction("Settings\u2026"), &QAction::triggered, this,
            [this] { s_.openSettings(); });
    connect(trayMenu_->addAction("Check for Updates\u2026"), &QAction::triggered, this,
            [this] { s_.checkForUpdates(); });
    connect(trayMenu_->addAction("Quit Orvane"), &QAction::triggered, this, [this] { s_.quit(); });
    // Made even without a tray host today: the icon embeds itself when one appears.
    tray_ = std::make_unique<QSystemTrayIcon>();
    tray_->setContextMenu(trayMenu_.get());
    tray_->setToolTip("Orvane Host");
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                if (why == QSystemTrayIcon::Trigger) togglePopup();
            });
    connect(&model_, &HostModel::refresh, this, &DesktopShell::updateTrayIcon);
    updateTrayIcon();
    tray_->show();
    window_->show();
}

DesktopShell::~DesktopShell() = default;

HostMenuView::Services DesktopShell::viewServices() {
    if (!s_.pairing)
        s_.pairing = [host = &s_.host](const std::string& code) {
            return std::optional(HostMenuView::pairingLink(*host, code));
        };
    return {model_,          s_.pasteboard, s_.timers,
            s_.mainActor,    s_.pairing,    s_.reveal,
            s_.openSettings, s_.quit,       s_.openPermissionSettings};
}

void DesktopShell::updateTrayIcon() {
    auto symbol = QString::fromStdString(menuBarSymbol(s_.host.clients()));
    if (tray_->property("symbol").toString() == symbol) return;
    tray_->setIcon(Symbols::icon(symbol));
    tray_->setProperty("symbol", symbol);
}

void DesktopShell::togglePopup() {
    if (popup_ && popup_->isVisible()) {
        popup_->hide();
        return;
    }
    // The click on the icon that took the focus from the popup closed it already.
    if (dismissed_.isValid() && dismissed_.elapsed() < 300) return;
    if (!popup_) {
        popup_ = std::make_unique<HostMenuView>(viewServices());
        popup_->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        popup_->setWindowTitle("Orvane");
        popup_->installEventFilter(this);
    }
    popup_->refresh();
    popup_->adjustSize();
    // Below (or above) the icon, kept on its screen.
    QRect icon = tray_->geometry();
    QScreen* screen = icon.isValid() ? QGuiApplication::screenAt(icon.center()) : nullptr;
    if (!screen) screen = QGuiApplication::primaryScreen();
    QRect area = screen->availableGeometry();
    QPoint at = icon.isValid() ? QPoint(icon.center().x() - popup_->width() / 2, icon.bottom() + 4)
                               : QPoint(area.right() - popup_->width(), area.top());
    if (at.y() + popup_->height() > area.bottom()) at.setY(icon.top() - popup_->height() - 4);
    at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - popup_->width())));
    at.setY(std::max(at.y(), area.top()));
    popup_->move(at);
    popup_->show();
    popup_->raise();
    popup_->activateWindow();
}

}  // namespace orvane

namespace orvane {

// Like a menu, the popup goes away when the person turns to something else.
bool DesktopShell::eventFilter(QObject* watched, QEvent* event) {
    if (watched == popup_.get() && event->type() == QEvent::WindowDeactivate &&
        popup_->isVisible()) {
        popup_->hide();
        dismissed_.start();
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace orvane
