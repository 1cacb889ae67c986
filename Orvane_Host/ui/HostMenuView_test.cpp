#include "Orvane_Host/ui/HostMenuView.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>
#include <QToolButton>
#include <fstream>

#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/security/AccessCode.h"
#include "Orvane_Host/system/MachineName.h"
#include "Orvane_Host/system/testing/FakeFileRevealer.h"
#include "Orvane_Host/system/testing/FakeSettingsOpener.h"
#include "Orvane_Host/ui/QrCode.h"
#include "Orvane_Host/ui/UiStyle.h"
#include "Orvane_Host/ui/testing_support/UiHost.h"

using namespace orvane;
using namespace std::chrono_literals;

namespace {

Date now() {
    return Date::fromTimePoint(std::chrono::system_clock::now());
}

// A real controller on the session fakes, started, with its window made offscreen.
struct Window : ::testing::Test, UiHost {
    FakeFileRevealer revealer;
    FakeSettingsOpener settingsOpener;
    std::string reach;
    std::unique_ptr<HostMenuView> view;

    void SetUp() override {
        startHost();
        host->setScreenRecordingGranted(true);
        host->setAccessibilityGranted(true);
        view = std::make_unique<HostMenuView>(HostMenuView::Services{
            *model,
            h.pasteboard,
            h.rt.timers,
            h.rt.mainActor,
            [this](const std::string& c) {
                return std::optional(HostMenuView::PairingLink{"orvane://pair/" + c, reach});
            },
            [this](const std::filesystem::path& p) { revealer.reveal(p); },
            {},
            {},
            [this](SettingsOpener::Page page) { settingsOpener.open(page); }});
        view->show();
        settle();
    }
    void TearDown() override {
        view.reset();
        stopHost();
    }
    template <class W = QWidget>
    W* child(const char* name) {
        return view->findChild<W*>(name);
    }
    QString text(const char* name) { return child<QLabel>(name)->text(); }
    std::filesystem::path file(const std::string& name) {
        auto p = folder / name;
        std::ofstream(p) << "x";
        return p;
    }
};

TEST_F(Window, CardsShowByTheirRulesInTheirOrder) {
    struct Case {
        const char* what;
        std::function<void(Window&)> arrange;
        QStringList cards;
    };
    const QStringList idle = {"accessCodeCard", "supportCard"};
    std::vector<Case> cases = {
        {"idle", [](Window&) {}, idle},
        {"a permission missing", [](Window& w) { w.host->setAccessibilityGranted(false); },
         idle + QStringList{"permissionsCard"}},
        {"a client waiting", [](Window& w) { w.listed("Ann", false); },
         idle + QStringList{"devicesCard"}},
        {"a client let in", [](Window& w) { w.listed("Ann", true); },
         idle + QStringList{"devicesCard", "chatCard"}},
        {"last client gone, messages kept",
         [](Window& w) {
             auto c = w.listed("Ann", true);
             w.host->setChat({{Uuid::random(), "hello", "Ann", now()}});
             w.host->setClients({});
         },
         idle + QStringList{"chatCard"}},
        {"only a deleted received file",
         [](Window& w) {
             auto p = w.file("gone.txt");
             std::filesystem::remove(p);
             w.host->setReceivedFiles({{Uuid::random(), p, "Ann", now()}});
         },
         idle},
        {"everything",
         [](Window& w) {
             w.host->setScreenRecordingGranted(false);
             w.listed("Ann", true);
             w.host->setReceivedFiles({{Uuid::random(), w.file("a.txt"), "Ann", now()}});
         },
         idle + QStringList{"permissionsCard", "devicesCard", "chatCard", "filesCard"}},
    };
    for (const auto& c : cases) {
        host->setClients({});
        host->setChat({});
        host->setReceivedFiles({});
        host->setScreenRecordingGranted(true);
        host->setAccessibilityGranted(true);
        c.arrange(*this);
        settle();
        EXPECT_EQ(view->visibleCards(), c.cards) << c.what;
    }
    // Tints and alignment of the cards.
    EXPECT_EQ(view->card("accessCodeCard")->tint(), CardFrame::Tint::none);
    EXPECT_TRUE(view->card("accessCodeCard")->centred());
    EXPECT_EQ(view->card("permissionsCard")->tint(), CardFrame::Tint::orange);
    EXPECT_EQ(view->card("devicesCard")->tint(), CardFrame::Tint::green);
    EXPECT_DOUBLE_EQ(view->card("devicesCard")->tintOpacity(), 0.12);
    EXPECT_EQ(view->card("chatCard")->tint(), CardFrame::Tint::none);
    EXPECT_EQ(view->width(), HostMenuView::fixedWidth);
}

TEST_F(Window, ReceivedFilesListTheThreeNewestThatStillExist) {
    std::vector<HostController::ReceivedFile> files;
    for (int i = 5; i >= 1; --i)
        files.push_back({Uuid::random(), file("f" + std::to_string(i) + ".txt"), "iPad", now()});
    std::filesystem::remove(files[0].url);  // the newest
    host->setReceivedFiles(files);
    settle();
    QStringList names;
    for (auto* l : view->card("filesCard")->findChildren<QLabel*>("fileName")) names << l->text();
    EXPECT_EQ(names, (QStringList{"f4.txt", "f3.txt", "f2.txt"}));
    auto rows = view->card("filesCard")->findChildren<QPushButton*>("fileRow");
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0]->toolTip(), "Show in Finder");
    // Anywhere in the row, also on the icon left of the name.
    QTest::mouseClick(rows[1], Qt::LeftButton, {}, QPoint(10, rows[1]->height() / 2));
    EXPECT_EQ(revealer.revealed, (std::vector<std::filesystem::path>{files[2].url}));
    EXPECT_TRUE(view->card("filesCard")
                    ->findChildren<QLabel*>("fileFrom")[0]
                    ->text()
                    .startsWith("From iPad \u00b7 "));
}

TEST_F(Window, PermissionRowsShowWhatIsMissing) {
    host->setScreenRecordingGranted(false);
    settle();
    auto* card = view->card("permissionsCard");
    auto symbols = [&] {
        QStringList out;
        for (auto* l : card->findChildren<QLabel*>())
            if (l->property("symbol").isValid()) out << l->property("symbol").toString();
        return out;
    };
    EXPECT_EQ(symbols(),
              (QStringList{"exclamationmark.shield", "circle", "checkmark.circle.fill"}));
    EXPECT_TRUE(child("grantScreenRecording")->isVisibleTo(view.get()));
    EXPECT_FALSE(child("grantAccessibility")->isVisibleTo(view.get()));
    host->setAccessibilityGranted(false);
    settle();
    EXPECT_EQ(symbols(), (QStringList{"exclamationmark.shield", "circle", "circle"}));
    EXPECT_TRUE(child("grantAccessibility")->isVisibleTo(view.get()));
    EXPECT_EQ(child<QPushButton>("grantAccessibility")->text(), "Grant");
    QTest::mouseClick(child<QPushButton>("grantScreenRecording"), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>("grantAccessibility"), Qt::LeftButton);
    EXPECT_EQ(settingsOpener.opened, (std::vector{SettingsOpener::Page::screenRecording,
                                                  SettingsOpener::Page::accessibility}));
}

TEST_F(Window, HeaderFollowsStreaming) {
    EXPECT_EQ(text("subtitle"), QString::fromStdString(host->listenerState()));
    EXPECT_EQ(child("statusDot")->accessibleName(), "Idle");
    host->setIsStreaming(true);
    settle();
    EXPECT_EQ(text("subtitle"), QString::fromStdString("Sharing " + macDisplayName()));
    EXPECT_EQ(child("statusDot")->accessibleName(), "Streaming");
}

TEST_F(Window, AccessCodeCopiesAndComesBackOnePressAfterTheOther) {
    auto* copy = child<QPushButton>("copyButton");
    EXPECT_EQ(text("accessCode"), code);
    EXPECT_EQ(child("accessCode")->accessibleName(), "Access code A B C - D E F - G H J - K L M");
    EXPECT_EQ(copy->text(), "Copy");
    EXPECT_EQ(copy->property("symbol").toString(), "doc.on.doc");
    EXPECT_EQ(child<QPushButton>("newCodeButton")->property("symbol").toString(),
              "arrow.clockwise");

    h.pasteboard.text = "something else";
    QTest::mouseClick(copy, Qt::LeftButton);
    EXPECT_EQ(h.pasteboard.text, code);
    EXPECT_EQ(copy->text(), "Copied");
    EXPECT_EQ(copy->property("symbol").toString(), "checkmark");
    h.rt.advance(1s);
    QTest::mouseClick(copy, Qt::LeftButton);
    h.rt.advance(499ms);
    EXPECT_EQ(copy->text(), "Copied");
    h.rt.advance(1ms);  // 1.5 s after the first press
    EXPECT_EQ(copy->text(), "Copy");
    EXPECT_EQ(copy->property("symbol").toString(), "doc.on.doc");
    h.rt.advance(2s);
    EXPECT_EQ(copy->text(), "Copy");
}

TEST_F(Window, TheReachNoteFollowsThePairingLinkAndGoesWithASupportCode) {
    EXPECT_TRUE(child("reachNote")->isHidden());
    reach = HostMenuView::reachSameNetworkOnly;
    model->requestRefresh();
    settle();
    EXPECT_FALSE(child("reachNote")->isHidden());
    EXPECT_EQ(text("reachNote"), HostMenuView::reachSameNetworkOnly);
    host->setSupportCode("ZZZ-ZZZ-ZZZ-ZZZ");
    settle();
    EXPECT_TRUE(child("reachNote")->isHidden());
    EXPECT_TRUE(child("accessQr")->isHidden());
}

TEST_F(Window, NewCodeEndsEverySessionAndShowsTheNewCode) {
    auto ann = listed("Ann", true);
    auto bob = listed("Bob", false);
    settle();
    QTest::mouseClick(child<QPushButton>("newCodeButton"), Qt::LeftButton);
    settle();
    EXPECT_EQ(HostHarness::byeReason(ann), "The access code was changed.");
    EXPECT_EQ(HostHarness::byeReason(bob), "The access code was changed.");
    EXPECT_NE(host->accessCode(), code);
    EXPECT_EQ(text("accessCode").toStdString(), host->accessCode());
    EXPECT_EQ(child<QrView>("accessQr")->text().toStdString(),
              "orvane://pair/" + host->accessCode());
}

TEST_F(Window, SupportSessionStartsAndEndsOnlyItsOwnClients) {
    auto normal = listed("Ann", true);
    QTest::mouseClick(child<QPushButton>("startSupportButton"), Qt::LeftButton);
    settle();
    ASSERT_TRUE(host->supportCode());
    EXPECT_EQ(text("supportCode").toStdString(), *host->supportCode());
    EXPECT_EQ(view->card("supportCard")->tint(), CardFrame::Tint::orange);
    EXPECT_TRUE(child("accessQr")->isHidden());
    EXPECT_EQ(child<QrView>("supportQr")->text().toStdString(),
              "orvane://pair/" + *host->supportCode());
    EXPECT_FALSE(child("startSupportButton")->isVisible());
    // The listener now takes the support code.
    EXPECT_EQ(listeners.last()->params.tls.key, AccessCode::pskKey(*host->supportCode()));

    auto helper = h.client("Helper");
    helper->isSupport = true;
    helper->setAuthorized(true);
    host->setClients({normal, helper});
    settle();
    QTest::mouseClick(child<QPushButton>("endSupportButton"), Qt::LeftButton);
    settle();
    EXPECT_FALSE(host->supportCode());
    EXPECT_EQ(HostHarness::byeReason(helper), "The support session ended.");
    EXPECT_EQ(HostHarness::byeReason(normal), "");
    EXPECT_EQ(listeners.last()->params.tls.key, AccessCode::pskKey(code));
    EXPECT_EQ(view->card("supportCard")->tint(), CardFrame::Tint::none);
    EXPECT_FALSE(child("accessQr")->isHidden());
}

TEST_F(Window, DeviceRowsShowStateAndControlTheClient) {
    auto waiting = listed("<b>x</b>", false);
    settle();
    auto* card = view->card("devicesCard");
    auto names = card->findChildren<QLabel*>("clientName");
    ASSERT_EQ(names.size(), 1);
    // A name that looks like markup is shown as typed.
    EXPECT_EQ(names[0]->text(), "<b>x</b>");
    EXPECT_EQ(names[0]->textFormat(), Qt::PlainText);
    EXPECT_EQ(card->findChildren<QLabel*>("clientStatus")[0]->text(), "Waiting for approval");
    EXPECT_TRUE(card->findChildren<QToolButton*>("controlButton").isEmpty());
    EXPECT_TRUE(child("sendFilesButton")->isHidden());
    auto* off = card->findChildren<QToolButton*>("disconnectButton")[0];
    EXPECT_EQ(off->toolTip(), "Disconnect");
    EXPECT_EQ(off->accessibleName(), "Disconnect <b>x</b>");
    EXPECT_EQ(off->property("symbol").toString(), "xmark.circle.fill");

    auto ann = listed("Ann", true);
    settle();
    EXPECT_FALSE(child("sendFilesButton")->isHidden());
    auto statuses = card->findChildren<QLabel*>("clientStatus");
    ASSERT_EQ(statuses.size(), 2);
    EXPECT_TRUE(statuses[1]->text().startsWith("Controlling \u00b7 since "))
        << statuses[1]->text().toStdString();
    EXPECT_EQ(statuses[1]->text().count(':'), 1)  // hours and minutes only
        << statuses[1]->text().toStdString();
    auto control = [&] { return card->findChildren<QToolButton*>("controlButton").at(0); };
    EXPECT_EQ(control()->property("symbol").toString(), "hand.point.up.left.fill");
    EXPECT_EQ(control()->toolTip(), "Can control \u00b7 click to make view-only");
    EXPECT_EQ(control()->accessibleName(), "Make Ann view-only");
    QTest::mouseClick(control(), Qt::LeftButton);
    settle();
    EXPECT_FALSE(ann->canControl());
    EXPECT_EQ(control()->property("symbol").toString(), "eye.fill");
    EXPECT_EQ(control()->toolTip(), "View only \u00b7 click to allow control");
    EXPECT_EQ(control()->accessibleName(), "Let Ann control");
    EXPECT_EQ(HostHarness::connectionOf(ann)->sent(MessageType::permissions).size(), 1u);

    host->setSendingFiles({"a.txt \u2192 Ann", "a.txt \u2192 Ann"});
    settle();
    EXPECT_EQ(card->findChildren<QLabel*>("sendingLine").size(), 2);

    QTest::mouseClick(card->findChildren<QToolButton*>("disconnectButton")[1], Qt::LeftButton);
    settle();
    EXPECT_EQ(HostHarness::byeReason(ann), "Disconnected by the host.");

    // However long a name or an error, the window keeps its width.
    listed(std::string(300, 'W'), true);
    host->setLastError(std::string(500, 'E'));
    settle();
    EXPECT_EQ(view->width(), HostMenuView::fixedWidth);
}

TEST_F(Window, ChatSendsTheTrimmedDraftAndMarksMessagesRead) {
    auto* draft = child<QLineEdit>("chatDraft");
    auto* send = child<QToolButton>("sendButton");
    auto waiting = listed("Ann", false);
    host->setChat({{Uuid::random(), "<i>hi</i>", "Ann", now()}});
    host->setUnreadChat(3);
    settle();
    // The card came on screen: the messages have been seen.
    EXPECT_EQ(host->unreadChat(), 0);
    EXPECT_EQ(child<QScrollArea>("chatList")->height(), 120);
    EXPECT_EQ(send->accessibleName(), "Send");
    EXPECT_EQ(draft->placeholderText(), "Message");
    QTest::keyClicks(draft, "  hi  ");
    settle();
    EXPECT_FALSE(send->isEnabled());  // nobody let in
    waiting->setAuthorized(true);
    host->publishClients();
    settle();
    EXPECT_TRUE(send->isEnabled());
    QTest::keyClick(draft, Qt::Key_Return);
    settle();
    EXPECT_TRUE(draft->text().isEmpty());
    ASSERT_EQ(host->chat().size(), 2u);
    EXPECT_EQ(host->chat().back().text, "hi");
    EXPECT_EQ(HostHarness::connectionOf(waiting)->sent(MessageType::chat).size(), 1u);
    auto bubbles = view->card("chatCard")->findChildren<QLabel*>("chatBubble");
    auto captions = view->card("chatCard")->findChildren<QLabel*>("chatCaption");
    ASSERT_EQ(bubbles.size(), 2);
    EXPECT_EQ(bubbles[0]->text(), "<i>hi</i>");
    EXPECT_EQ(bubbles[0]->textFormat(), Qt::PlainText);
    EXPECT_EQ(captions[0]->text(), "Ann");
    EXPECT_EQ(captions[1]->text(), "You");
    EXPECT_FALSE(send->isEnabled());  // the draft is empty again

    // Shown and then a message arrives: read at once. Hidden: it waits, with its badge.
    view->hide();
    host->setUnreadChat(2);
    settle();
    EXPECT_EQ(host->unreadChat(), 2);
    view->show();
    settle();
    EXPECT_EQ(host->unreadChat(), 0);
    host->setUnreadChat(1);
    settle();
    EXPECT_EQ(child<QLabel>("unreadBadge")->text(), "1");
    QTest::mouseClick(view->card("chatCard"), Qt::LeftButton);
    EXPECT_EQ(host->unreadChat(), 0);
    host->setUnreadChat(4);
    settle();
    QTest::mouseClick(draft, Qt::LeftButton);
    EXPECT_EQ(host->unreadChat(), 0);
}

TEST_F(Window, AnEmptyChatIsLowUntilTheFirstMessage) {
    listed("Ann", true);
    settle();
    EXPECT_EQ(child<QScrollArea>("chatList")->height(), 24);
    EXPECT_TRUE(child("unreadBadge")->isHidden());
}

TEST_F(Window, ClearDrawingsShowsWhileStrokesExistAndClearsThem) {
    auto* clear = child<QPushButton>("clearDrawingsButton");
    EXPECT_FALSE(clear->isVisible());
    host->overlays().applyAnnotation(
        AnnotationEvent::Stroke{{Uuid::random(), {0.5f, 0.5f, 0.6f, 0.6f}, {1, 0, 0}, 0.01f}}, 1);
    settle();
    ASSERT_TRUE(clear->isVisible());
    EXPECT_EQ(clear->text(), "Clear Drawings");
    EXPECT_EQ(clear->property("symbol").toString(), "pencil.slash");
    // It stays in the support card's active form too.
    QTest::mouseClick(child<QPushButton>("startSupportButton"), Qt::LeftButton);
    settle();
    EXPECT_TRUE(clear->isVisible());

    QTest::mouseClick(clear, Qt::LeftButton);
    settle();
    EXPECT_TRUE(host->overlays().annotations().strokes().empty());
    EXPECT_EQ(h.calls.count("overlays.clearAnnotations"), 1u);
    EXPECT_FALSE(clear->isVisible());
}

TEST_F(Window, ManyChangesInOneTurnGiveOneRefresh) {
    int before = model->refreshCount();
    for (int i = 0; i < 1000; ++i) host->setUnreadChat(i % 2 ? 5 : 6);
    settle();
    EXPECT_EQ(model->refreshCount(), before + 1);
}

// The QR code a camera would see: the card grabbed and decoded by an independent reader.
TEST_F(Window, QrCodeDecodesToTheLink) {
    if (std::system("command -v zbarimg >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "zbarimg (zbar-tools) is not installed";
    auto png = folder / "card.png";
    ASSERT_TRUE(view->card("accessCodeCard")->grab().save(QString::fromStdString(png.string())));
    auto out = folder / "decoded.txt";
    std::string cmd = "zbarimg --raw -q " + png.string() + " > " + out.string();
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(out);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "orvane://pair/" + std::string(code));
}

TEST(QrCode, ModulesAreTenPixelsAndBadTextGivesNone) {
    auto image = qrCodeImage("orvane://pair/ABC");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width() % 10, 0);
    EXPECT_EQ(image->width(), image->height());
    EXPECT_FALSE(qrCodeImage(""));
    EXPECT_FALSE(qrCodeImage(std::string(8000, 'x')));  // beyond any QR version
}

}  // namespace
