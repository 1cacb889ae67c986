#include "Orvane_Host/ui/DesktopShell.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QTest>

#include "Orvane_Host/session/testing/HostHarness.h"
#include "Orvane_Host/ui/QrCode.h"
#include "Orvane_Host/ui/testing_support/QtTestApp.h"

using namespace orvane;

namespace {

TEST(DesktopShell, WindowMenusAndTraySymbolFollowTheHost) {
    QtTestApp::ensure();
    HostHarness h;
    auto host = h.make();
    std::vector<std::string> calls;
    DesktopShell shell({*host,
                        h.pasteboard,
                        h.rt.timers,
                        h.rt.mainActor,
                        {},
                        {},
                        [&] { calls.push_back("settings"); },
                        [&] { calls.push_back("updates"); },
                        [&] { calls.push_back("quit"); },
                        {}});
    auto settle = [&] {
        for (int i = 0; i < 3; ++i) {
            h.rt.drain();
            QCoreApplication::processEvents();
        }
    };
    host->setAccessCode("ABC-DEF-GHJ-KLM");
    settle();
    EXPECT_EQ(shell.window().windowTitle(), "Orvane Host");
    // The QR code and its note are the controller's pairing link for the code.
    auto info = host->makePairingInfo("ABC-DEF-GHJ-KLM");
    auto* qr = shell.window().findChild<QrView*>("accessQr");
    ASSERT_NE(qr, nullptr);
    EXPECT_EQ(qr->text().toStdString(), info.url());
    EXPECT_EQ(shell.window().findChild<QLabel*>("reachNote")->text(),
              HostMenuView::reachNote(info.reach()));
    EXPECT_TRUE(shell.window().isVisible());
    QStringList items;
    for (auto* menu : shell.window().menuBar()->findChildren<QMenu*>())
        for (auto* a : menu->actions())
            if (!a->isSeparator()) items << a->text();
    EXPECT_EQ(items, (QStringList{"Check for Updates\u2026", "Settings\u2026", "Quit Orvane"}));
    for (auto* menu : shell.window().menuBar()->findChildren<QMenu*>())
        for (auto* a : menu->actions()) a->trigger();
    EXPECT_EQ(calls, (std::vector<std::string>{"updates", "settings", "quit"}));

    QStringList trayItems;
    for (auto* a : shell.tray()->contextMenu()->actions()) trayItems << a->text();
    EXPECT_EQ(trayItems, (QStringList{"Settings\u2026", "Check for Updates\u2026", "Quit Orvane"}));
    // Ctrl+, in the window opens the settings too.
    shell.window().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&shell.window()));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(calls.back(), "settings");

    // Closing the window hides it; nothing quits.
    shell.window().close();
    EXPECT_FALSE(shell.window().isVisible());
    EXPECT_EQ(calls.size(), 4u);

    // The tray's symbol: a waiting client does not count, one let in does.
    EXPECT_EQ(shell.tray()->property("symbol").toString(), "macbook.and.iphone");
    auto c = h.client("Ann");
    host->setClients({c});
    settle();
    EXPECT_EQ(shell.tray()->property("symbol").toString(), "macbook.and.iphone");
    c->setAuthorized(true);
    host->publishClients();
    settle();
    EXPECT_EQ(shell.tray()->property("symbol").toString(), "dot.radiowaves.left.and.right");
    host->setClients({});
    settle();
    EXPECT_EQ(shell.tray()->property("symbol").toString(), "macbook.and.iphone");

    // The popup is the same view, toggled.
    shell.togglePopup();
    auto popups = QApplication::topLevelWidgets();
    auto shown = std::count_if(popups.begin(), popups.end(), [](QWidget* w) {
        return w->isVisible() && qobject_cast<HostMenuView*>(w);
    });
    EXPECT_EQ(shown, 1);
    shell.togglePopup();
    shown = std::count_if(popups.begin(), popups.end(), [](QWidget* w) {
        return w->isVisible() && qobject_cast<HostMenuView*>(w);
    });
    EXPECT_EQ(shown, 0);
}

TEST(DesktopShell, EachReachHasItsNote) {
    EXPECT_STREQ(HostMenuView::reachNote(PairingReach::sameNetworkOnly),
                 "This code works on the same network. Your router has not opened a port for "
                 "this Mac, so away from home it may not connect.");
    EXPECT_STREQ(HostMenuView::reachNote(PairingReach::bestEffortInternet),
                 "This code also lists this Mac's public address, so it may work away from "
                 "home. It cannot get through carrier-grade NAT.");
    EXPECT_STREQ(HostMenuView::reachNote(PairingReach::behindCarrierGradeNAT),
                 "Your internet provider shares one public address between many homes "
                 "(carrier-grade NAT), so this code only works on the same network.");
}

}  // namespace
