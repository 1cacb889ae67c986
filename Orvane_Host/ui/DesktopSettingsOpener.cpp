#include "Orvane_Host/ui/DesktopSettingsOpener.h"

#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>

namespace orvane {

void DesktopSettingsOpener::open(Page page) {
    const bool screen = page == Page::screenRecording;
    if (!QStandardPaths::findExecutable("gnome-control-center").isEmpty() &&
        QProcess::startDetached("gnome-control-center", {screen ? "privacy" : "universal-access"}))
        return;
    auto* note = new QMessageBox(QMessageBox::Information, "Orvane Host",
                                 screen ? "Screen Recording" : "Accessibility");
    note->setAttribute(Qt::WA_DeleteOnClose);
    note->setInformativeText(
        "This desktop has no settings page for it: the host sees the screen and uses the mouse "
        "and keyboard of the X session it runs in.");
    note->open();
}

}  // namespace orvane
