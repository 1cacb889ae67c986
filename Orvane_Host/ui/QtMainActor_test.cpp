#include "Orvane_Host/ui/QtMainActor.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <thread>

#include "Orvane_Host/ui/QtAlertPresenter.h"
#include "Orvane_Host/ui/testing_support/QtTestApp.h"

using namespace orvane;
using namespace std::chrono_literals;

// fontconfig keeps a little of what Qt's font database asked of it for good; not ours.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace {

bool pumpUntil(const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

TEST(QtMainActor, WorkFromAnyThreadAndCoroutinesRunOnTheGuiThread) {
    QtTestApp::ensure();
    QtMainActor actor;
    EXPECT_TRUE(actor.isCurrent());
    QThread* gui = QThread::currentThread();

    std::vector<int> order;
    std::atomic<bool> elsewhere{true};
    std::thread other([&] {
        elsewhere = actor.isCurrent();
        for (int i = 0; i < 3; ++i) actor.post([&order, i] { order.push_back(i); });
    });
    other.join();
    EXPECT_FALSE(elsewhere);
    // Never inline: nothing ran before the loop turned.
    EXPECT_TRUE(order.empty());

    std::vector<QThread*> resumedOn;
    bool finished = false;
    // A coroutine started from another thread, suspending on a timer whose completion comes
    // from asio's own thread, resumes on the GUI thread every time.
    std::thread starter([&] {
        asio::co_spawn(
            actor.executor(),
            [&]() -> asio::awaitable<void> {
                resumedOn.push_back(QThread::currentThread());
                asio::steady_timer timer(co_await asio::this_coro::executor, 5ms);
                co_await timer.async_wait(asio::use_awaitable);
                resumedOn.push_back(QThread::currentThread());
                co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
                resumedOn.push_back(QThread::currentThread());
                finished = true;
            },
            asio::detached);
    });
    starter.join();
    ASSERT_TRUE(pumpUntil([&] { return finished; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(resumedOn, (std::vector<QThread*>{gui, gui, gui}));
}

QMessageBox* openBox() {
    for (auto* w : QApplication::topLevelWidgets())
        if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible()) return b;
    return nullptr;
}

TEST(QtAlertPresenter, ButtonsInOrderEachAnswersOnceAndAbortAnswersMinus1001) {
    QtTestApp::ensure();
    QtMainActor actor;
    QtAlertPresenter alerts(actor);
    std::vector<int> answers;
    auto handle = alerts.show({"<b>Ann</b> wants to connect",
                               "<img src=x>",
                               {"Allow", "Always Allow This Device", "Deny"},
                               "iphone"},
                              [&](int r) { answers.push_back(r); });
    QMessageBox* box = openBox();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    EXPECT_EQ(box->text(), "<b>Ann</b> wants to connect");
    auto* info = box->findChild<QLabel*>("qt_msgbox_informativelabel");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->textFormat(), Qt::PlainText);
    QStringList labels;
    for (auto* b : box->buttons()) labels << b->text();
    EXPECT_EQ(labels, (QStringList{"Allow", "Always Allow This Device", "Deny"}));
    EXPECT_EQ(box->defaultButton()->text(), "Allow");
    box->buttons()[2]->click();
    handle.abort();  // too late: already answered
    pumpUntil([] { return openBox() == nullptr; });
    EXPECT_EQ(answers, (std::vector<int>{AlertResponse::thirdButton}));

    // Two up at once; ending the first leaves the second.
    answers.clear();
    auto first =
        alerts.show({"First", "", {"Allow", "Deny"}, ""}, [&](int r) { answers.push_back(r); });
    auto second =
        alerts.show({"Second", "", {"OK"}, ""}, [&](int r) { answers.push_back(r * 10); });
    first.abort();
    ASSERT_TRUE(pumpUntil([] {
        auto* b = openBox();
        return b && b->text() == "Second";
    }));
    openBox()->buttons()[0]->click();
    pumpUntil([] { return openBox() == nullptr; });
    EXPECT_EQ(answers, (std::vector<int>{AlertResponse::aborted, AlertResponse::firstButton * 10}));
}

}  // namespace
