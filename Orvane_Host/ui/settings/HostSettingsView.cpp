#include "Orvane_Host/ui/settings/HostSettingsView.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTabBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <asio/post.hpp>
#include <unordered_set>

#include "OrvaneKit/base/Paths.h"
#include "OrvaneKit/records/SessionLogCSV.h"
#include "Orvane_Host/system/MachineName.h"
#include "Orvane_Host/ui/UiStyle.h"
#include "Orvane_Host/update/UpdateChecker.h"

namespace orvane {

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

QLabel* secondary(const QString& text, const char* name = nullptr) {
    auto* l = new QLabel(text);
    l->setWordWrap(true);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, secondaryTextColor());
    l->setPalette(p);
    if (name) l->setObjectName(name);
    return l;
}

QLabel* value(const QString& text, const char* name, bool selectable = false) {
    auto* l = new QLabel(text);
    l->setObjectName(name);
    if (selectable) l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return l;
}

// One grouped section: a box with a form, then its footer under it.
struct Section {
    QGroupBox* box;
    QFormLayout* form;
};
Section section(QVBoxLayout* pane, const QString& header, const QString& footer = {}) {
    auto* box = new QGroupBox(header);
    auto* form = new QFormLayout(box);
    pane->addWidget(box);
    if (!footer.isEmpty()) pane->addWidget(secondary(footer));
    return {box, form};
}

QCheckBox* toggle(const QString& text, const char* name, bool on, std::function<void(bool)> set) {
    auto* c = new QCheckBox(text);
    c->setObjectName(name);
    c->setChecked(on);
    QObject::connect(c, &QCheckBox::toggled, c, [set = std::move(set)](bool v) { set(v); });
    return c;
}

// A toggle with a second, secondary line under its title.
QWidget* twoLineToggle(QCheckBox* box, const QString& second, const char* secondName) {
    auto* w = new QWidget;
    auto* v = new QVBoxLayout(w);
    v->setContentsMargins(0, 0, 0, 0);
    v->addWidget(box);
    if (!second.isNull()) v->addWidget(secondary(second, secondName));
    return w;
}

QWidget* row(std::initializer_list<QWidget*> widgets) {
    auto* w = new QWidget;
    auto* h = new QHBoxLayout(w);
    h->setContentsMargins(0, 0, 0, 0);
    for (auto* x : widgets) h->addWidget(x);
    h->addStretch();
    return w;
}

QVBoxLayout* paneLayout(QWidget* pane) {
    auto* v = new QVBoxLayout(pane);
    return v;
}

}  // namespace

HostSettingsView::HostSettingsView(Services services, QWidget* parent)
    : QTabWidget(parent), s_(std::move(services)) {
    setObjectName("settingsWindow");
    setWindowTitle("Orvane Host Settings");
    setFixedWidth(paneWidth);
    // All six tabs fit the fixed width, with no scroll arrows.
    setUsesScrollButtons(false);
    setIconSize(QSize(14, 14));
    tabBar()->setStyleSheet("QTabBar::tab { padding: 4px 5px; }");
    const char* titles[] = {"General", "Security", "Picture", "Network", "History", "About"};
    const char* symbols[] = {
        "gearshape", "lock.shield", "display", "network", "clock.arrow.circlepath", "info.circle"};
    for (int i = 0; i < 6; ++i) {
        auto* page = new QWidget;
        page->setObjectName(QString("tab:") + titles[i]);
        page->setProperty("symbol", symbols[i]);
        auto* v = new QVBoxLayout(page);
        v->setContentsMargins(0, 0, 0, 0);
        addTab(page, Symbols::icon(symbols[i]), titles[i]);
    }
    // Showing a tab starts that pane afresh; the controller's changes redraw it in place.
    connect(this, &QTabWidget::currentChanged, this, [this](int index) { rebuild(index); });
    // Only the fields the shown pane draws redraw it, so a busy session never takes the focus
    // or an open list away from the person.
    connect(&s_.model, &HostModel::fieldChanged, this, [this](int field) {
        using F = HostController::Field;
        static const std::vector<std::vector<F>> drawn = {
            {F::clients, F::launchAtLogin, F::shareClipboard, F::shareSound, F::idleTimeoutMinutes},
            {F::askBeforeConnecting, F::lockWhenSessionEnds, F::blankScreen, F::unattendedAccess,
             F::trustedDevices},
            {F::quality, F::highFrameRate, F::preferHEVC, F::preferHDR, F::isStreaming,
             F::activeCodec, F::activeHDR},
            {F::browserAccess},
            {},
            {}};
        int index = currentIndex();
        if (index < 0 || index >= int(drawn.size())) return;
        for (auto f : drawn[index])
            if (int(f) == field) stale_ = true;
    });
    connect(&s_.model, &HostModel::refresh, this, [this] {
        if (!stale_) return;
        stale_ = false;
        if (isVisible()) rebuild(-1);
    });
    historyConnection_ = s_.history.changed().connect([this](const auto&) {
        if (isVisible() && currentIndex() == 4) rebuild(-1);
    });
    if (s_.updates)
        updateConnection_ = s_.updates->statusChanged().connect([this](const auto&) {
            if (isVisible() && currentIndex() == 5) rebuild(-1);
        });
    rebuild(0);
}

HostSettingsView::~HostSettingsView() {
    ++accountGeneration_;
    alive_.reset();
}

void HostSettingsView::openDesktopPage(SystemPage page) {
    if (QStandardPaths::findExecutable("gnome-control-center").isEmpty()) return;
    QProcess::startDetached("gnome-control-center",
                            {page == SystemPage::sharing ? "sharing" : "power"});
}

void HostSettingsView::present() {
    if (!isVisible()) show();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
}

void HostSettingsView::showEvent(QShowEvent* event) {
    QTabWidget::showEvent(event);
    rebuild(currentIndex());
}

// index -1 redraws the current pane keeping its state; any other index shows it afresh.
void HostSettingsView::rebuild(int index) {
    bool fresh = index >= 0;
    if (!fresh) index = currentIndex();
    if (index < 0) return;
    if (fresh) {
        if (index == 0) askAccountStatus();
        if (index == 3 && s_.localAddresses) addresses_ = s_.localAddresses();
        if (index == 4) historyFilter_ = 0;
    }
    auto* page = widget(index);
    auto* layout = static_cast<QVBoxLayout*>(page->layout());
    while (auto* item = layout->takeAt(0)) {
        if (auto* w = item->widget()) {
            w->hide();
            w->deleteLater();
        }
        delete item;
    }
    auto* pane = makePane(index);
    pane->setObjectName("pane");
    layout->addWidget(pane);
}

QWidget* HostSettingsView::makePane(int index) {
    switch (index) {
        case 0:
            return general();
        case 1:
            return security();
        case 2:
            return picture();
        case 3:
            return network();
        case 4:
            return history();
        default:
            return about();
    }
}

void HostSettingsView::askAccountStatus() {
    accountText_ = "Checking\u2026";
    auto generation = ++accountGeneration_;
    if (!s_.accountStatus) {
        accountText_ = settings::accountStatusText(std::nullopt);
        return;
    }
    // An answer for an earlier showing of the pane is dropped.
    QPointer<HostSettingsView> self(this);
    s_.accountStatus([self, generation](std::optional<settings::AccountStatus> status) {
        if (!self || self->accountGeneration_ != generation) return;
        self->accountText_ = settings::accountStatusText(status);
        if (self->isVisible() && self->currentIndex() == 0) self->rebuild(-1);
    });
}

QWidget* HostSettingsView::general() {
    auto& host = s_.model.host();
    auto* pane = new QWidget;
    auto* v = paneLayout(pane);

    auto one = section(v, {},
                       "Your Macs appear on your other devices through your own iCloud account. "
                       "There's nothing to sign in to.");
    auto* change = new QPushButton("Change\u2026");
    change->setObjectName("changeName");
    connect(change, &QPushButton::clicked, this, [this] {
        if (s_.openSystemSettings) s_.openSystemSettings(SystemPage::sharing);
    });
    one.form->addRow("Mac name", row({value(q(macDisplayName()), "macName"), change}));
    QString status = "No one connected";
    if (!host.clients().empty()) {
        int n = 0;
        for (const auto& r : s_.model.clientRows()) n += r.authorized ? 1 : 0;
        status = QString::number(n) + " connected";
    }
    one.form->addRow("Status", value(status, "status"));
    one.form->addRow("iCloud", value(q(accountText_), "iCloud"));

    auto two = section(v, {});
    two.form->addRow(toggle("Open at login", "openAtLogin", host.launchAtLogin(),
                            [&host](bool on) { host.setLaunchAtLogin(on); }));
    two.form->addRow(toggle("Share clipboard", "shareClipboard", host.shareClipboard(),
                            [&host](bool on) { host.setShareClipboard(on); }));
    two.form->addRow(toggle("Share sound", "shareSound", host.shareSound(),
                            [&host](bool on) { host.setShareSound(on); }));

    auto three = section(v, {},
                         "Orvane keeps the Mac awake while someone is connected. To reach it when "
                         "nobody's using it, stop it sleeping in Energy settings.");
    auto* idle = new QComboBox;
    idle->setObjectName("idle");
    idle->addItem("Never", 0);
    for (int n : {5, 15, 30, 60, 120}) idle->addItem(QString("After %1 minutes").arg(n), n);
    idle->setCurrentIndex(std::max(0, idle->findData(int(host.idleTimeoutMinutes()))));
    connect(idle, &QComboBox::activated, this,
            [&host, idle](int i) { host.setIdleTimeoutMinutes(idle->itemData(i).toInt()); });
    three.form->addRow("Disconnect when idle", idle);
    auto* energy = new QPushButton("Energy Settings\u2026");
    energy->setObjectName("energySettings");
    connect(energy, &QPushButton::clicked, this, [this] {
        if (s_.openSystemSettings) s_.openSystemSettings(SystemPage::power);
    });
    three.form->addRow("Keep awake", row({new QLabel("During sessions"), energy}));
    v->addStretch();
    return pane;
}

QWidget* HostSettingsView::security() {
    auto& host = s_.model.host();
    auto* pane = new QWidget;
    auto* v = paneLayout(pane);

    auto one = section(v, {});
    one.form->addRow(toggle("Ask before allowing a connection", "askBeforeConnecting",
                            host.askBeforeConnecting(),
                            [&host](bool on) { host.setAskBeforeConnecting(on); }));
    one.form->addRow(toggle("Lock this Mac when a session ends", "lockWhenSessionEnds",
                            host.lockWhenSessionEnds(),
                            [&host](bool on) { host.setLockWhenSessionEnds(on); }));
    one.form->addRow(twoLineToggle(
        toggle("Blank this Mac's screen during sessions", "blankScreen", host.blankScreen(),
               [&host](bool on) { host.setBlankScreen(on); }),
        "People near the Mac see a black screen. The person connected still sees everything. "
        "Press Control-Alt-Super-Period at the Mac to end the session.",
        "blankScreenNote"));

    auto two = section(
        v, "Trusted devices",
        "Off by default. When on, a trusted device can connect whenever this Mac is on, with "
        "nobody clicking Allow. It still needs the access code and its own security key. You get "
        "a notification each time, and each session is flagged in History. Forgetting a device "
        "ends its session straight away.");
    two.form->addRow(toggle("Let trusted devices in without asking", "unattendedAccess",
                            host.unattendedAccess(),
                            [&host](bool on) { host.setUnattendedAccess(on); }));
    const auto& devices = host.trustedDevices();
    if (devices.empty()) {
        two.form->addRow(secondary(
            "No devices yet. Choose Always Allow when a device asks to connect.", "noDevices"));
    } else {
        for (const auto& d : devices) {
            auto* forget = new QPushButton("Forget");
            forget->setObjectName(q("forget:" + d.id));
            forget->setProperty("destructive", true);
            connect(forget, &QPushButton::clicked, this,
                    [&host, id = d.id] { host.forgetDevice(id); });
            two.form->addRow(q(d.name), forget);
        }
        auto* all = new QPushButton("Forget All Trusted Devices");
        all->setObjectName("forgetAll");
        all->setProperty("destructive", true);
        connect(all, &QPushButton::clicked, this, [&host] { host.forgetAllDevices(); });
        two.form->addRow(all);
    }

    auto three = section(v, "Encryption");
    three.form->addRow("Encryption", value("End-to-end, post-quantum", "encryption"));
    three.form->addRow(
        "This Mac's key",
        value(s_.hardwareBackedKey ? "Kept in this Mac's secure chip" : "Kept on this Mac",
              "keyStorage"));
    auto* id = value(q(s_.fingerprint), "securityID", true);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    id->setFont(mono);
    three.form->addRow("This Mac's security ID", id);
    v->addStretch();
    return pane;
}

QWidget* HostSettingsView::picture() {
    auto& host = s_.model.host();
    auto* pane = new QWidget;
    auto* v = paneLayout(pane);
    auto one = section(v, {},
                       "Smooth favours a faster picture, Retina favours a crisper one. Either way "
                       "this Mac uses its built-in video hardware, so it barely touches the "
                       "battery.");
    auto* segments = new QWidget;
    auto* h = new QHBoxLayout(segments);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(0);
    auto* group = new QButtonGroup(segments);
    for (auto quality : allStreamQualities) {
        auto* b = new QToolButton;
        b->setText(q(std::string(title(quality))));
        b->setObjectName(q("quality:" + std::string(rawValue(quality))));
        b->setCheckable(true);
        b->setChecked(host.quality() == quality);
        group->addButton(b);
        h->addWidget(b);
        connect(b, &QToolButton::clicked, this, [&host, quality] { host.setQuality(quality); });
    }
    h->addStretch();
    one.form->addRow("Quality", segments);
    one.form->addRow(toggle("Smoother motion", "highFrameRate", host.highFrameRate(),
                            [&host](bool on) { host.setHighFrameRate(on); }));

    // While streaming, each toggle says what the running session actually uses.
    QString hevcLine;
    if (host.isStreaming()) {
        if (host.activeCodec() == VideoCodec::hevc)
            hevcLine = "On for this session";
        else if (host.preferHEVC())
            hevcLine = "Not supported by the connected device";
        else
            hevcLine = "Off";
    }
    one.form->addRow(
        twoLineToggle(toggle("Sharper text and detail", "preferHEVC", host.preferHEVC(),
                             [&host](bool on) { host.setPreferHEVC(on); }),
                      hevcLine, "hevcStatus"));
    QString hdrLine;
    if (!host.isStreaming())
        hdrLine = "Full brightness and colour for XDR displays. Experimental.";
    else if (host.activeHDR())
        hdrLine = "On for this session";
    else if (host.preferHDR())
        hdrLine = "Needs sharper text and an HDR device";
    else
        hdrLine = "Off";
    one.form->addRow(twoLineToggle(toggle("High dynamic range", "preferHDR", host.preferHDR(),
                                          [&host](bool on) { host.setPreferHDR(on); }),
                                   hdrLine, "hdrStatus"));
    v->addStretch();
    return pane;
}

QWidget* HostSettingsView::network() {
    auto& host = s_.model.host();
    auto* pane = new QWidget;
    auto* v = paneLayout(pane);
    auto one = section(
        v, "This Mac",
        "Your devices find this Mac by themselves when they're on the same Wi-Fi. Away from "
        "home, they try this Mac's public address, shared through your iCloud account, straight "
        "to this Mac with nothing in between. That needs your router to allow it, and it does "
        "not work behind carrier-grade NAT, which is common on mobile data.");
    for (const auto& a : addresses_.ipv4)
        one.form->addRow("On this network", value(q(a), "lanAddress", true));
    for (const auto& a : addresses_.ipv6)
        one.form->addRow("Internet address", value(q(a), "internetAddress", true));
    one.form->addRow("Port", value(QString::number(HostController::sessionPort), "port"));
    one.form->addRow("From anywhere",
                     value(q(s_.anywhereStatus ? s_.anywhereStatus() : ""), "fromAnywhere"));

    auto two = section(
        v, "Browser",
        "Served straight from this Mac over your local network \u2014 there is no third-party "
        "server. It's encrypted with this Mac's own certificate, so the browser warns once: "
        "choose Advanced, then continue. For your own network only.");
    two.form->addRow(twoLineToggle(
        toggle("Browser access (experimental)", "browserAccess", host.browserAccess(),
               [&host](bool on) { host.setBrowserAccess(on); }),
        "Lets any browser on this Wi-Fi (Windows, Linux, Android) view and control this Mac. "
        "Enter the access code to connect.",
        "browserNote"));
    if (host.browserAccess())
        if (auto url = host.browserURL())
            two.form->addRow("Open in a browser", value(q(*url), "browserURL", true));

    auto three = section(v, {},
                         "A text file of Orvane Host's recent activity, for troubleshooting. It "
                         "never includes screen content or your access code.");
    auto* exportButton = new QPushButton("Export Logs\u2026");
    exportButton->setObjectName("exportLogs");
    exportButton->setEnabled(!exporting_);
    connect(exportButton, &QPushButton::clicked, this, [this] { exportLogs(); });
    if (exporting_)
        three.form->addRow("Logs",
                           row({exportButton, secondary("Exporting\u2026", "exportProgress")}));
    else
        three.form->addRow("Logs", exportButton);
    if (exportError_) {
        auto* error = value(q(*exportError_), "exportError");
        error->setWordWrap(true);
        error->setStyleSheet("color: red;");
        three.form->addRow(error);
    }
    v->addStretch();
    return pane;
}

void HostSettingsView::exportLogs() {
    if (exporting_ || !s_.saveFile) return;
    auto target = s_.saveFile("Orvane Host Log.txt", "Text files (*.txt)");
    if (!target) return;
    auto now = s_.now ? s_.now() : Date::fromTimePoint(std::chrono::system_clock::now());
    if (!s_.mainActor || !s_.background) {
        exportFinished(*target, settings::exportLogs(s_.logFiles, now, *target));
        return;
    }
    // A full log is megabytes of JSON: read and write it away from the window's thread.
    exporting_ = true;
    rebuild(-1);
    std::weak_ptr<bool> alive = alive_;
    asio::post(s_.background,
               [this, alive, files = s_.logFiles, now, target = *target, main = s_.mainActor] {
                   std::optional<std::string> error;
                   try {
                       error = settings::exportLogs(files, now, target);
                   } catch (const std::exception& e) {
                       error = e.what();
                   }
                   main->post([this, alive, target, error = std::move(error)] {
                       if (!alive.expired()) exportFinished(target, error);
                   });
               });
}

void HostSettingsView::exportFinished(const std::filesystem::path& target,
                                      std::optional<std::string> error) {
    exporting_ = false;
    exportError_ = std::move(error);
    if (!exportError_ && s_.reveal) s_.reveal(target);
    if (currentIndex() == 3) rebuild(-1);
}

QWidget* HostSettingsView::history() {
    auto* pane = new QWidget;
    pane->setFixedHeight(420);
    auto* v = paneLayout(pane);
    const auto& entries = s_.history.entries();

    auto* bar = new QWidget;
    auto* h = new QHBoxLayout(bar);
    h->setContentsMargins(12, 12, 12, 12);
    auto* filter = new QComboBox;
    filter->setObjectName("historyFilter");
    filter->setAccessibleName("Show");
    filter->addItems({"Everything", "Sessions", "Declined & wrong codes"});
    filter->setCurrentIndex(historyFilter_);
    connect(filter, &QComboBox::activated, this, [this](int i) {
        historyFilter_ = i;
        rebuild(-1);
    });
    h->addWidget(filter);
    h->addStretch();
    auto* exportButton = new QPushButton(Symbols::icon("square.and.arrow.up"), "Export\u2026");
    exportButton->setObjectName("exportHistory");
    auto* clear = new QPushButton("Clear History\u2026");
    clear->setObjectName("clearHistory");
    exportButton->setEnabled(!entries.empty());
    clear->setEnabled(!entries.empty());
    connect(exportButton, &QPushButton::clicked, this, [this] { exportHistory(); });
    connect(clear, &QPushButton::clicked, this, [this] {
        auto* box = new QMessageBox(QMessageBox::Warning, "Clear session history?",
                                    "Clear session history?", QMessageBox::Cancel, this);
        box->setObjectName("confirmClear");
        box->setInformativeText("Sessions in progress stay listed.");
        box->setAttribute(Qt::WA_DeleteOnClose);
        auto* destroy = box->addButton("Clear History", QMessageBox::DestructiveRole);
        connect(destroy, &QPushButton::clicked, this, [this] { clearHistory(); });
        box->open();
    });
    h->addWidget(exportButton);
    h->addWidget(clear);
    v->addWidget(bar);

    std::vector<const SessionHistory::Entry*> shown;
    for (const auto& e : entries)
        if (historyFilter_ == 0 || (historyFilter_ == 1) == e.isSession()) shown.push_back(&e);
    if (shown.empty()) {
        auto* empty = new QWidget;
        empty->setObjectName("noHistory");
        auto* ev = new QVBoxLayout(empty);
        ev->addStretch();
        auto* icon = Symbols::label("clock.arrow.circlepath", 40, secondaryTextColor());
        ev->addWidget(icon, 0, Qt::AlignHCenter);
        auto* title = new QLabel("No History");
        title->setFont(fontFor(FontRole::title3, QFont::Bold));
        ev->addWidget(title, 0, Qt::AlignHCenter);
        auto* note = secondary(
            "Every device that connects to this Mac is listed here, with when and for how long.");
        note->setAlignment(Qt::AlignHCenter);
        ev->addWidget(note);
        ev->addStretch();
        v->addWidget(empty, 1);
        return pane;
    }
    auto* list = new QListWidget;
    list->setObjectName("historyList");
    list->setAlternatingRowColors(true);
    const Date now = s_.now ? s_.now() : Date::fromTimePoint(std::chrono::system_clock::now());
    for (const auto* e : shown) {
        auto* w = new QWidget;
        w->setObjectName("historyRow");
        auto* rh = new QHBoxLayout(w);
        rh->setSpacing(10);
        rh->setContentsMargins(4, 2, 4, 2);
        auto* icon =
            Symbols::label(q(e->symbol), 18, e->isSession() ? brandAccentColor : QColor("orange"));
        icon->setFixedWidth(26);
        rh->addWidget(icon, 0, Qt::AlignTop);
        auto* left = new QVBoxLayout;
        auto* device = value(q(e->device), "device");
        device->setFont(fontFor(FontRole::body, QFont::Medium));
        left->addWidget(device);
        auto* subtitle = secondary(q(settings::historySubtitle(*e)), "subtitle");
        subtitle->setTextInteractionFlags(Qt::TextSelectableByMouse);
        left->addWidget(subtitle);
        rh->addLayout(left);
        rh->addStretch();
        auto* right = new QVBoxLayout;
        auto* when = value(q(settings::relativeText(e->started, now)), "started");
        when->setAlignment(Qt::AlignRight);
        auto local =
            QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(e->started.unixSeconds() * 1000));
        when->setToolTip(QLocale().toString(local, QLocale::LongFormat));
        right->addWidget(when);
        auto detail = settings::historyDetail(*e);
        auto* line = value(q(detail.text), "detail");
        line->setAlignment(Qt::AlignRight);
        QPalette p = line->palette();
        p.setColor(QPalette::WindowText,
                   detail.green ? QColor(Qt::darkGreen) : secondaryTextColor());
        line->setPalette(p);
        line->setProperty("running", detail.green);
        right->addWidget(line);
        rh->addLayout(right);
        auto* item = new QListWidgetItem(list);
        item->setSizeHint(w->sizeHint());
        list->setItemWidget(item, w);
    }
    v->addWidget(list, 1);
    return pane;
}

void HostSettingsView::exportHistory() {
    if (!s_.saveFile) return;
    auto target = s_.saveFile("Orvane session record.csv", "CSV files (*.csv)");
    if (!target) return;
    // Made now, so that sessions begun or ended while the pane stood open are in it as they are.
    auto error = settings::writeExport(*target, SessionLogCSV::sessions(s_.history.logEntries()));
    // The save dialog says nothing of a failed write, so the person would take it as saved.
    if (!error) return;
    auto* box =
        new QMessageBox(QMessageBox::Warning, "Export failed", q(*error), QMessageBox::Ok, this);
    box->setObjectName("historyExportError");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void HostSettingsView::clearHistory() {
    std::unordered_set<Uuid> keeping;
    for (const auto& c : s_.model.host().clients()) keeping.insert(c->id);
    s_.history.remove(keeping);
    rebuild(-1);
}

QWidget* HostSettingsView::about() {
    auto* pane = new QWidget;
    auto* v = paneLayout(pane);
    auto one = section(v, {});
    one.form->addRow("Version",
                     value(q(settings::versionString(s_.shortVersion, s_.buildNumber)), "version"));
    one.form->addRow("Made for",
                     value("Mac, iPhone, iPad, Apple Watch, Apple TV and Vision Pro", "madeFor"));

    auto two = section(v, "Software Update");
    auto* check = new QPushButton("Check for Updates\u2026");
    check->setObjectName("checkForUpdates");
    connect(check, &QPushButton::clicked, this, [this] {
        if (s_.updates) s_.updates->check(true);
    });
    QString status = s_.updates ? q(settings::updateStatusText(s_.updates->status())) : "";
    auto* line = new QWidget;
    auto* h = new QHBoxLayout(line);
    h->setContentsMargins(0, 0, 0, 0);
    h->addWidget(check);
    h->addStretch();
    h->addWidget(secondary(status, "updateStatus"));
    two.form->addRow(line);

    auto three = section(v, "Privacy");
    three.form->addRow(secondary(
        "Orvane connects your devices directly. There are no Orvane servers and no account: "
        "sessions stay between your devices, and iCloud only stores where to find your Macs.",
        "privacy"));
    const QString site = UpdateChecker::defaultServer;
    for (auto [text, path] : {std::pair{"Privacy Policy", "/privacy"}, {"Support", "/support"}}) {
        auto* link = new QLabel(QString("<a href=\"%1%2\">%3</a>").arg(site, path, text));
        link->setOpenExternalLinks(true);
        three.form->addRow(link);
    }
    v->addStretch();
    return pane;
}

}  // namespace orvane
