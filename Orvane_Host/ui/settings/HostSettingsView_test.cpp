#include "Orvane_Host/ui/settings/HostSettingsView.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/cloud/testing/FakeCloudStore.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/records/SessionLogCSV.h"
#include "Orvane_Host/ui/settings/CloudAccountQuery.h"
#include "Orvane_Host/ui/testing_support/UiHost.h"

using namespace orvane;
using namespace orvane::settings;

namespace {

std::string read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The fake account, noting the thread of each status question.
struct NotingStore final : CloudStore {
    std::shared_ptr<FakeCloudStore> fake = std::make_shared<FakeCloudStore>();
    std::mutex mutex;
    std::vector<std::thread::id> askedOn;

    int accountStatus() override {
        {
            std::lock_guard lock(mutex);
            askedOn.push_back(std::this_thread::get_id());
        }
        return fake->accountStatus();
    }
    std::string currentUserRecordName() override { return fake->currentUserRecordName(); }
    std::shared_ptr<CloudDatabase> database(CloudScope scope) override {
        return fake->database(scope);
    }
    void setPushHandler(asio::any_io_executor ex, std::function<void()> handler) override {
        fake->setPushHandler(std::move(ex), std::move(handler));
    }
    void addShareParticipant(const CloudZoneID& zone, const std::string& user) override {
        fake->addShareParticipant(zone, user);
    }
    CloudZoneID acceptShare(const std::string& url) override { return fake->acceptShare(url); }
};

// A real controller on the session fakes, started, with the settings window made offscreen.
struct Settings : ::testing::Test, UiHost {
    std::unique_ptr<HostSettingsView> view;
    // What the fakes were asked and will answer.
    std::vector<std::function<void(std::optional<AccountStatus>)>> accountAsks;
    std::vector<HostSettingsView::SystemPage> opened;
    std::optional<std::filesystem::path> saveAs;
    std::vector<std::string> saveNames;
    std::vector<std::filesystem::path> revealed;
    std::vector<std::filesystem::path> logFiles;
    Date now = Date::fromUnix(1740838000);  // 2025-03-01T14:06:40Z
    // The window's background work; one thread, so a job posted after others runs after them.
    asio::thread_pool pool{1};
    AccountStatusQuery accountQuery = [this](auto done) { accountAsks.push_back(std::move(done)); };

    void SetUp() override {
        startHost();
        logFiles = {folder / "host.log.1", folder / "host.log"};
    }
    void open(int tab = 0) {
        view = std::make_unique<HostSettingsView>(HostSettingsView::Services{
            *model, *h.history, accountQuery,
            [this](HostSettingsView::SystemPage p) { opened.push_back(p); },
            [this] { return h.addresses.lists; }, [] { return std::string("Ready"); }, logFiles,
            [this](const std::string& name, const std::string&) {
                saveNames.push_back(name);
                return saveAs;
            },
            [this](const std::filesystem::path& p) { revealed.push_back(p); },
            "0A1B 2C3D 4E5F 6A7B 8C9D 0E1F 2A3B 4C5D", false, std::string("1.4"), std::nullopt,
            nullptr, [this] { return now; }, &h.rt.mainActor, pool.get_executor()});
        view->setCurrentIndex(tab);
        view->show();
        settle();
    }
    void TearDown() override {
        view.reset();
        pool.join();
        stopHost();
    }
    // Waits for everything already handed to the pool, then for what it handed back.
    void drainPool() {
        std::promise<void> done;
        asio::post(pool, [&done] { done.set_value(); });
        done.get_future().wait();
        settle();
    }
    // Blocks the pool until the returned promise is kept.
    std::shared_ptr<std::promise<void>> holdPool() {
        auto gate = std::make_shared<std::promise<void>>();
        asio::post(pool, [f = gate->get_future().share()] { f.wait(); });
        return gate;
    }
    // The live widget of that name on the current pane.
    template <class W = QWidget>
    W* child(const QString& name) {
        for (auto* w : view->currentWidget()->findChildren<W*>(name))
            if (!w->isHidden() || w->parentWidget()->isVisible()) return w;
        return nullptr;
    }
    QString text(const QString& name) {
        auto* l = child<QLabel>(name);
        return l ? l->text() : "<none>";
    }
    void writeLog(const std::filesystem::path& file, const std::vector<LogRecord>& records) {
        std::ofstream out(file, std::ios::app);
        for (const auto& r : records) out << logRecordJson(r) << "\n";
    }
    static LogRecord record(double unix, std::string subsystem, std::string category,
                            std::string message) {
        return {Date::fromUnix(unix).timePoint(), std::move(subsystem), std::move(category),
                LogLevel::info, std::move(message)};
    }
};

TEST_F(Settings, SixTabsInOrderWithTheirSymbolsAt520Wide) {
    open();
    const QStringList titles = {"General", "Security", "Picture", "Network", "History", "About"};
    const QStringList symbols = {
        "gearshape", "lock.shield", "display", "network", "clock.arrow.circlepath", "info.circle"};
    ASSERT_EQ(view->count(), 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(view->tabText(i), titles[i]);
        EXPECT_EQ(view->widget(i)->property("symbol").toString(), symbols[i]);
    }
    EXPECT_EQ(view->width(), 520);
}

// Every control writes through the controller's setter, which stores its key.
TEST_F(Settings, ControlsWriteThroughTheSetters) {
    struct Case {
        int tab;
        QString control;
        std::function<bool(Settings&)> holds;
    };
    auto stored = [](const char* key) {
        return [key](Settings& s) { return s.h.settings.boolValue(key); };
    };
    std::vector<Case> cases = {
        {0, "shareClipboard",
         [](Settings& s) {
             return !s.host->shareClipboard() && !s.h.settings.boolValue("shareClipboard");
         }},
        {0, "shareSound",
         [](Settings& s) { return s.host->shareSound() == s.h.settings.boolValue("shareSound"); }},
        {0, "openAtLogin", [](Settings& s) { return s.host->launchAtLogin(); }},
        {1, "askBeforeConnecting",
         [](Settings& s) {
             return s.host->askBeforeConnecting() == s.h.settings.boolValue("askBeforeConnecting");
         }},
        {1, "lockWhenSessionEnds", stored("lockWhenSessionEnds")},
        {1, "blankScreen", stored("blankScreen")},
        {1, "unattendedAccess", stored("unattendedAccess")},
        {2, "highFrameRate", stored("highFrameRate")},
        {2, "preferHEVC",
         [](Settings& s) { return s.host->preferHEVC() == s.h.settings.boolValue("preferHEVC"); }},
        {2, "preferHDR", stored("preferHDR")},
        {3, "browserAccess", stored("browserAccess")},
    };
    open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.control.toStdString());
        view->setCurrentIndex(c.tab);
        settle();
        auto* box = child<QCheckBox>(c.control);
        ASSERT_NE(box, nullptr);
        bool before = box->isChecked();
        box->click();
        settle();
        EXPECT_TRUE(c.holds(*this));
        // The redrawn pane shows the new value.
        EXPECT_EQ(child<QCheckBox>(c.control)->isChecked(), !before);
    }

    view->setCurrentIndex(0);
    settle();
    auto* idle = child<QComboBox>("idle");
    ASSERT_EQ(idle->count(), 6);
    const std::vector<std::pair<QString, int>> idles = {{"Never", 0},
                                                        {"After 5 minutes", 5},
                                                        {"After 15 minutes", 15},
                                                        {"After 30 minutes", 30},
                                                        {"After 60 minutes", 60},
                                                        {"After 120 minutes", 120}};
    for (int i = 5; i >= 0; --i) {
        idle = child<QComboBox>("idle");
        EXPECT_EQ(idle->itemText(i), idles[i].first);
        idle->setCurrentIndex(i);
        Q_EMIT idle->activated(i);
        settle();
        EXPECT_EQ(host->idleTimeoutMinutes(), idles[i].second);
        EXPECT_EQ(h.settings.integer("idleTimeoutMinutes"), idles[i].second);
    }

    view->setCurrentIndex(2);
    settle();
    for (auto [name, quality] : {std::pair{"sharp", StreamQuality::sharp},
                                 {"smooth", StreamQuality::smooth},
                                 {"balanced", StreamQuality::balanced}}) {
        child<QToolButton>(QString("quality:") + name)->click();
        settle();
        EXPECT_EQ(host->quality(), quality);
        EXPECT_EQ(h.settings.string("quality"), name);
        EXPECT_TRUE(child<QToolButton>(QString("quality:") + name)->isChecked());
    }
    EXPECT_EQ(child<QToolButton>("quality:sharp")->text(), "Retina");

    view->setCurrentIndex(0);
    settle();
    child<QPushButton>("changeName")->click();
    child<QPushButton>("energySettings")->click();
    EXPECT_EQ(opened, (std::vector{HostSettingsView::SystemPage::sharing,
                                   HostSettingsView::SystemPage::power}));
}

TEST_F(Settings, GeneralStatusCountsOnlyThoseLetIn) {
    open();
    EXPECT_EQ(text("status"), "No one connected");
    auto waiting = listed("Phone", false);
    settle();
    EXPECT_EQ(text("status"), "0 connected");
    listed("Pad", true);
    listed("Laptop", true);
    settle();
    EXPECT_EQ(text("status"), "2 connected");
}

TEST_F(Settings, AccountStatusShowsCheckingThenTheAnswerOfThisShowing) {
    const std::vector<std::pair<std::optional<AccountStatus>, QString>> table = {
        {AccountStatus::available, "Signed in"},
        {AccountStatus::restricted, "Restricted"},
        {AccountStatus::noAccount, "Not signed in"},
        {AccountStatus::temporarilyUnavailable, "Temporarily unavailable"},
        {AccountStatus::couldNotDetermine, "Unknown"},
        {std::nullopt, "Unknown"},
    };
    open();
    for (const auto& [status, expected] : table) {
        view->setCurrentIndex(1);
        view->setCurrentIndex(0);
        settle();
        EXPECT_EQ(text("iCloud"), "Checking\u2026");
        accountAsks.back()(status);
        settle();
        EXPECT_EQ(text("iCloud"), expected);
    }
    // An answer for a showing that ended is dropped.
    view->setCurrentIndex(1);
    view->setCurrentIndex(0);
    settle();
    auto stale = accountAsks.back();
    view->setCurrentIndex(1);
    view->setCurrentIndex(0);
    settle();
    stale(AccountStatus::available);
    settle();
    EXPECT_EQ(text("iCloud"), "Checking\u2026");
}

TEST_F(Settings, AccountStatusIsAskedOfTheCloudStoreAwayFromTheWindow) {
    auto store = std::make_shared<NotingStore>();
    accountQuery = cloudAccountQuery(store, pool.get_executor(), h.rt.mainActor);
    const std::vector<std::pair<int, QString>> table = {
        {CloudAccountStatus::available, "Signed in"},
        {CloudAccountStatus::restricted, "Restricted"},
        {CloudAccountStatus::noAccount, "Not signed in"},
        {CloudAccountStatus::temporarilyUnavailable, "Temporarily unavailable"},
        {CloudAccountStatus::couldNotDetermine, "Unknown"},
        {17, "Unknown"},
    };
    open(1);
    auto showGeneral = [&] {
        view->setCurrentIndex(1);
        view->setCurrentIndex(0);
        settle();
    };
    for (const auto& [status, expected] : table) {
        SCOPED_TRACE(status);
        store->fake->setAccountStatus(status);
        auto gate = holdPool();
        showGeneral();
        EXPECT_EQ(text("iCloud"), "Checking\u2026");
        gate->set_value();
        drainPool();
        EXPECT_EQ(text("iCloud"), expected);
    }
    store->fake->setAccountStatusFails(true);
    showGeneral();
    drainPool();
    EXPECT_EQ(text("iCloud"), "Unknown");
    {
        std::lock_guard lock(store->mutex);
        ASSERT_FALSE(store->askedOn.empty());
        for (auto id : store->askedOn) EXPECT_NE(id, std::this_thread::get_id());
    }

    // The answer comes after the window went: nobody is there to take it, and nothing breaks.
    store->fake->setAccountStatusFails(false);
    store->fake->setAccountStatus(CloudAccountStatus::available);
    auto gate = holdPool();
    showGeneral();
    view.reset();
    gate->set_value();
    drainPool();
    std::lock_guard lock(store->mutex);
    EXPECT_EQ(store->askedOn.size(), table.size() + 3);
}

TEST_F(Settings, SecurityListsTrustedDevicesAndForgetEndsTheirSessions) {
    open(1);
    EXPECT_EQ(text("noDevices"),
              "No devices yet. Choose Always Allow when a device asks to connect.");
    EXPECT_EQ(child<QPushButton>("forgetAll"), nullptr);
    EXPECT_EQ(text("keyStorage"), "Kept on this Mac");
    EXPECT_EQ(text("securityID"), "0A1B 2C3D 4E5F 6A7B 8C9D 0E1F 2A3B 4C5D");
    EXPECT_TRUE(text("blankScreenNote").contains("Press Control-Alt-Super-Period at the Mac"));

    auto pad = listed("Pad", true, "FP-PAD");
    auto phone = listed("Phone", true, "FP-PHONE");
    auto other = listed("Other", true, "FP-OTHER");
    host->trust({"FP-PAD", "Pad"});
    host->trust({"FP-PHONE", "Phone"});
    settle();
    EXPECT_EQ(text("noDevices"), "<none>");
    child<QPushButton>("forget:FP-PAD")->click();
    settle();
    EXPECT_EQ(HostHarness::byeReason(pad), HostController::noLongerTrustedReason);
    EXPECT_EQ(HostHarness::byeReason(phone), "");
    EXPECT_EQ(child<QPushButton>("forget:FP-PAD"), nullptr);
    ASSERT_NE(child<QPushButton>("forget:FP-PHONE"), nullptr);

    child<QPushButton>("forgetAll")->click();
    settle();
    EXPECT_TRUE(host->trustedDevices().empty());
    EXPECT_EQ(HostHarness::byeReason(phone), HostController::noLongerTrustedReason);
    EXPECT_EQ(HostHarness::byeReason(other), "");
    EXPECT_EQ(child<QPushButton>("forgetAll"), nullptr);
}

TEST_F(Settings, PictureStatusLinesFollowTheStream) {
    struct Case {
        bool streaming, preferHEVC, hevc, preferHDR, hdr;
        QString hevcLine, hdrLine;
    };
    const QString idleHdr = "Full brightness and colour for XDR displays. Experimental.";
    const std::vector<Case> cases = {
        {false, true, false, true, false, "<none>", idleHdr},
        {true, true, true, true, true, "On for this session", "On for this session"},
        {true, true, false, true, false, "Not supported by the connected device",
         "Needs sharper text and an HDR device"},
        {true, false, false, false, false, "Off", "Off"},
    };
    open(2);
    for (const auto& c : cases) {
        host->setPreferHEVC(c.preferHEVC);
        host->setPreferHDR(c.preferHDR);
        settle();
        host->setIsStreaming(c.streaming);
        host->setActiveCodec(c.hevc ? VideoCodec::hevc : VideoCodec::h264);
        host->setActiveHDR(c.hdr);
        settle();
        EXPECT_EQ(text("hevcStatus"), c.hevcLine);
        EXPECT_EQ(text("hdrStatus"), c.hdrLine);
    }
}

TEST_F(Settings, NetworkShowsAddressesAndTheBrowserAddressWhenOn) {
    h.addresses.lists = {{"10.0.0.2", "192.168.1.20"}, {"2001:db8::5"}};
    open(3);
    auto lan = view->currentWidget()->findChildren<QLabel*>("lanAddress");
    ASSERT_EQ(lan.size(), 2);
    EXPECT_EQ(lan[0]->text(), "10.0.0.2");
    EXPECT_EQ(lan[1]->text(), "192.168.1.20");
    EXPECT_EQ(text("internetAddress"), "2001:db8::5");
    EXPECT_EQ(text("port"), "5895");
    EXPECT_EQ(text("fromAnywhere"), "Ready");
    EXPECT_EQ(text("browserURL"), "<none>");
    child<QCheckBox>("browserAccess")->click();
    settle();
    ASSERT_TRUE(host->browserURL());
    EXPECT_EQ(text("browserURL").toStdString(), *host->browserURL());
}

TEST_F(Settings, LogExportKeepsTheHostsLastDayAsLines) {
    writeLog(logFiles[0], {record(now.unixSeconds() - 90000, hostSubsystem, "net", "too old"),
                           record(1740837909.75, hostSubsystem, "net", "listening")});
    writeLog(logFiles[1], {record(1740837910, "com.other.framework", "net", "not ours"),
                           record(1740837911, hostSubsystem, "cloud", "published")});
    std::ofstream(logFiles[1], std::ios::app) << "{broken\n";
    saveAs = folder / "out.txt";
    open(3);
    child<QPushButton>("exportLogs")->click();
    drainPool();
    EXPECT_EQ(saveNames, std::vector<std::string>{"Orvane Host Log.txt"});
    EXPECT_EQ(read(*saveAs),
              "2025-03-01T14:05:09Z [net] listening\n2025-03-01T14:05:11Z [cloud] published");
    EXPECT_EQ(revealed, std::vector{*saveAs});
    EXPECT_EQ(text("exportError"), "<none>");

    // No log at all: an empty file, revealed too.
    EXPECT_EQ(logExportText({folder / "missing"}, now), "");
}

TEST_F(Settings, LogExportFailureShowsWhyAndKeepsTheOldFile) {
    writeLog(logFiles[1], {record(1740837911, hostSubsystem, "net", "x")});
    // A folder cannot be replaced by a file, whoever runs the test.
    auto target = folder / "out.txt";
    std::filesystem::create_directories(target);
    std::ofstream(target / "inside") << "old";
    saveAs = target;
    open(3);
    child<QPushButton>("exportLogs")->click();
    drainPool();
    EXPECT_TRUE(text("exportError").startsWith("The file \u201cout.txt\u201d couldn't be saved"))
        << text("exportError").toStdString();
    EXPECT_EQ(read(target / "inside"), "old");
    EXPECT_TRUE(revealed.empty());

    // Cancelling keeps the error as it was.
    saveAs.reset();
    auto before = text("exportError");
    child<QPushButton>("exportLogs")->click();
    drainPool();
    EXPECT_EQ(text("exportError"), before);
}

TEST_F(Settings, LogExportRunsAwayFromTheWindowAndTakesOneClickAtATime) {
    writeLog(logFiles[1], {record(1740837911, hostSubsystem, "net", "x")});
    saveAs = folder / "out.txt";
    open(3);
    auto gate = holdPool();
    child<QPushButton>("exportLogs")->click();
    // The window's loop goes on turning while the export waits for the pool.
    bool turned = false;
    QTimer::singleShot(0, view.get(), [&] { turned = true; });
    settle();
    EXPECT_TRUE(turned);
    EXPECT_TRUE(view->isExporting());
    EXPECT_FALSE(child<QPushButton>("exportLogs")->isEnabled());
    EXPECT_EQ(text("exportProgress"), "Exporting\u2026");
    // A click that reaches it anyway asks for no second file.
    Q_EMIT child<QPushButton>("exportLogs")->clicked();
    settle();
    EXPECT_EQ(saveNames.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(*saveAs));

    gate->set_value();
    drainPool();
    EXPECT_FALSE(view->isExporting());
    EXPECT_TRUE(child<QPushButton>("exportLogs")->isEnabled());
    EXPECT_EQ(text("exportProgress"), "<none>");
    EXPECT_EQ(read(*saveAs), "2025-03-01T14:05:11Z [net] x");
    EXPECT_EQ(revealed, std::vector{*saveAs});
}

TEST_F(Settings, ClosingTheWindowDuringALogExportIsSafe) {
    writeLog(logFiles[1], {record(1740837911, hostSubsystem, "net", "x")});
    saveAs = folder / "out.txt";
    open(3);
    // Closed, the window only hides: the export still finishes and shows its file.
    auto gate = holdPool();
    child<QPushButton>("exportLogs")->click();
    view->close();
    gate->set_value();
    drainPool();
    EXPECT_EQ(revealed, std::vector{*saveAs});
    EXPECT_FALSE(view->isExporting());

    // Gone altogether: the file is still written, and the late answer touches nothing.
    view->show();
    settle();
    std::filesystem::remove(*saveAs);
    gate = holdPool();
    child<QPushButton>("exportLogs")->click();
    view.reset();
    gate->set_value();
    drainPool();
    EXPECT_EQ(read(*saveAs), "2025-03-01T14:05:11Z [net] x");
    EXPECT_EQ(revealed.size(), 1u);
}

TEST_F(Settings, LogOfARealSessionNeverCarriesTheCode) {
    auto sink = std::make_shared<FileLogSink>(logFiles[1].string());
    Log::addSink(sink);
    auto c = listed("Pad", true);
    host->newAccessCode();
    settle();
    listeners.last()->emitReady(40001);
    host->endSession(c, "bye");
    settle();
    Log::removeSink(sink);
    auto text = logExportText(logFiles, Date::fromTimePoint(std::chrono::system_clock::now()));
    ASSERT_FALSE(text.empty());
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[[a-z.]+\] .*$)")
                        .match(QString::fromStdString(line))
                        .hasMatch())
            << line;
    for (const auto& secret : {std::string(code), host->accessCode()}) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
        std::string bare = secret;
        std::erase(bare, '-');
        EXPECT_EQ(text.find(bare), std::string::npos) << bare;
    }
}

TEST_F(Settings, DurationsAndVersions) {
    EXPECT_EQ(durationText(0.4), "1s");
    EXPECT_EQ(durationText(-3), "1s");
    EXPECT_EQ(durationText(61), "1m 1s");
    EXPECT_EQ(durationText(3661), "1h 1m");
    EXPECT_EQ(durationText(7200), "2h");
    EXPECT_EQ(versionString("1.4", "345"), "1.4 (345)");
    EXPECT_EQ(versionString("1.4", std::nullopt), "1.4 (\u2013)");
    EXPECT_EQ(versionString(std::nullopt, std::nullopt), "\u2013 (\u2013)");
    using S = UpdateChecker::Status;
    EXPECT_EQ(updateStatusText(S{}), "");
    EXPECT_EQ(updateStatusText(S::checking()), "Checking\u2026");
    EXPECT_EQ(updateStatusText(S::upToDate()), "Up to date");
    EXPECT_EQ(updateStatusText(S::available("1.3")), "Version 1.3 available");
    EXPECT_EQ(updateStatusText(S::failed("offline")), "Check failed");
    EXPECT_EQ(relativeText(now + -150, now), "2 minutes ago");
    EXPECT_EQ(relativeText(now + -7200, now), "2 hours ago");
}

TEST_F(Settings, AboutShowsTheVersionWithDashes) {
    open(5);
    EXPECT_EQ(text("version"), "1.4 (\u2013)");
    EXPECT_EQ(text("updateStatus"), "");
}

TEST_F(Settings, HistoryFiltersRowsAndKeepsConnectedOnClear) {
    open(4);
    EXPECT_NE(child("noHistory"), nullptr);
    EXPECT_FALSE(child<QPushButton>("exportHistory")->isEnabled());
    EXPECT_FALSE(child<QPushButton>("clearHistory")->isEnabled());

    h.history->recordWrongCode("192.168.1.9");
    settle();
    auto* filter = child<QComboBox>("historyFilter");
    filter->setCurrentIndex(1);
    Q_EMIT filter->activated(1);
    settle();
    EXPECT_NE(child("noHistory"), nullptr);
    EXPECT_TRUE(child<QPushButton>("exportHistory")->isEnabled());
    EXPECT_TRUE(child<QPushButton>("clearHistory")->isEnabled());

    auto running = listed("Pad", true);
    h.history->recordConnected(*running, false);
    auto gone = h.client("Phone");
    h.history->recordConnected(*gone, false);
    h.rt.advance(std::chrono::seconds(61));
    h.history->recordEnded(*gone, "Disconnected");
    settle();
    auto details = view->currentWidget()->findChildren<QLabel*>("detail");
    ASSERT_EQ(details.size(), 2);  // still the sessions filter
    auto ended = historyDetail(h.history->entries()[0]);
    EXPECT_TRUE(QString::fromStdString(ended.text).endsWith(" \u00b7 1m 1s \u00b7 Disconnected"))
        << ended.text;
    EXPECT_FALSE(ended.green);
    auto now = historyDetail(h.history->entries()[1]);
    EXPECT_TRUE(now.text.starts_with("Connected now \u00b7 since ")) << now.text;
    EXPECT_TRUE(now.green);
    EXPECT_EQ(historyDetail(h.history->entries()[2]).text, h.history->entries()[2].outcome);

    filter = child<QComboBox>("historyFilter");
    filter->setCurrentIndex(2);
    Q_EMIT filter->activated(2);
    settle();
    EXPECT_EQ(view->currentWidget()->findChildren<QLabel*>("detail").size(), 1);

    child<QPushButton>("clearHistory")->click();
    settle();
    auto* box = view->findChild<QMessageBox*>("confirmClear");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->informativeText(), "Sessions in progress stay listed.");
    for (auto* b : box->buttons())
        if (b->text() == "Clear History") b->click();
    settle();
    ASSERT_EQ(h.history->entries().size(), 1u);
    EXPECT_EQ(h.history->entries()[0].id, running->id);
}

TEST_F(Settings, HistoryExportIsMadeWhenSavedAndReadsBackAsCsv) {
    open(4);
    auto a = h.client("Pad \"home\", upstairs");
    h.history->recordConnected(*a, false);
    settle();
    // A session that starts after the pane was drawn is in the file.
    auto b = h.client("=Phone");
    h.history->recordConnected(*b, true);
    saveAs = folder / "record.csv";
    child<QPushButton>("exportHistory")->click();
    settle();
    EXPECT_EQ(saveNames, std::vector<std::string>{"Orvane session record.csv"});
    auto csv = read(*saveAs);
    EXPECT_EQ(csv, SessionLogCSV::sessions(h.history->logEntries()));
    auto script = folder / "read.py";
    std::ofstream(script) << "import csv,sys\n"
                             "rows=list(csv.reader(open(sys.argv[1],newline='')))\n"
                             "print('|'.join(r[0] for r in rows[1:]))\n";
    auto out = folder / "out";
    std::string cmd = "python3 " + script.string() + " " + saveAs->string() + " > " + out.string();
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(read(out), "Pad \"home\", upstairs|'=Phone\n");
    EXPECT_EQ(view->findChild<QMessageBox*>("historyExportError"), nullptr);

    // A write that fails says so, and leaves what stood there.
    auto blocked = folder / "blocked.csv";
    std::filesystem::create_directories(blocked);
    saveAs = blocked;
    child<QPushButton>("exportHistory")->click();
    settle();
    auto* box = view->findChild<QMessageBox*>("historyExportError");
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->text().startsWith("The file \u201cblocked.csv\u201d couldn't be saved"))
        << box->text().toStdString();
    EXPECT_TRUE(std::filesystem::is_directory(blocked));
}

}  // namespace
