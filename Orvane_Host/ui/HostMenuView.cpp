#include "Orvane_Host/ui/HostMenuView.h"

#include <QDateTime>
#include <QEvent>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "OrvaneKit/security/AccessCode.h"
#include "Orvane_Host/system/MachineName.h"
#include "Orvane_Host/ui/QrCode.h"
#include "Orvane_Host/ui/UiStyle.h"

namespace orvane {

namespace {

const QColor green{52, 199, 89};
const QColor orange{255, 149, 0};

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

QLabel* textLabel(const QString& text, FontRole role, QFont::Weight weight = QFont::Normal,
                  QColor colour = QColor()) {
    auto* l = new QLabel(text);
    l->setTextFormat(Qt::PlainText);
    l->setFont(fontFor(role, weight));
    if (colour.isValid()) {
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, colour);
        l->setPalette(p);
    }
    return l;
}

QLabel* secondary(const QString& text, FontRole role, QFont::Weight weight = QFont::Normal) {
    return textLabel(text, role, weight, secondaryTextColor());
}

void setSymbol(QAbstractButton* b, const QString& symbol) {
    b->setIcon(Symbols::icon(symbol));
    b->setProperty("symbol", symbol);
}

QPushButton* smallButton(const QString& text, const QString& symbol = {}) {
    auto* b = new QPushButton(text);
    b->setFont(fontFor(FontRole::callout));
    if (!symbol.isEmpty()) setSymbol(b, symbol);
    return b;
}

// A borderless icon button; its accessible name is what a screen reader says.
QToolButton* iconButton(const QString& symbol, int size) {
    auto* b = new QToolButton;
    b->setAutoRaise(true);
    b->setIconSize(QSize(size, size));
    setSymbol(b, symbol);
    return b;
}

void clearLayout(QLayout* layout) {
    while (auto* item = layout->takeAt(0)) {
        if (auto* w = item->widget()) w->deleteLater();
        if (auto* l = item->layout()) clearLayout(l);
        delete item;
    }
}

QString shortTime(const Date& d) {
    auto t = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(d.unixSeconds() * 1000.0));
    // The short form is hours and minutes; some locales' (C's among them) carry seconds too.
    QString format = QLocale::system().timeFormat(QLocale::ShortFormat);
    format.remove(":ss").remove(".ss");
    return QLocale::system().toString(t.time(), format);
}

// "Access code " and the code's characters one by one, so a screen reader spells it.
QString spelled(const std::string& code) {
    QString out = "Access code";
    for (QChar c : q(code)) {
        out += ' ';
        out += c;
    }
    return out;
}

class Dot : public QWidget {
public:
    Dot() { setFixedSize(8, 8); }
    void setColour(QColor c) {
        colour_ = c;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(colour_);
        p.drawEllipse(rect());
    }

private:
    QColor colour_;
};

QVBoxLayout* cardLayout(CardFrame* card) {
    return static_cast<QVBoxLayout*>(card->layout());
}

}  // namespace

HostMenuView::HostMenuView(Services services, QWidget* parent)
    : QWidget(parent), s_(std::move(services)), host_(s_.model.host()) {
    setFixedWidth(fixedWidth);
    auto* root = new QVBoxLayout(this);
    root->setSpacing(14);
    root->setContentsMargins(16, 16, 16, 16);
    buildHeader(root);
    column_ = new QVBoxLayout;
    column_->setSpacing(10);
    root->addLayout(column_);
    buildAccessCard();
    buildSupportCard();
    buildPermissionsCard();
    buildDevicesCard();
    buildChatCard();
    buildFilesCard();
    buildFooter(root);

    connect(&s_.model, &HostModel::refresh, this, &HostMenuView::refresh);
    refresh();
}

// ---- Header ----

void HostMenuView::buildHeader(QVBoxLayout* root) {
    auto* row = new QHBoxLayout;
    row->setSpacing(10);
    headerSymbol_ = Symbols::label("macbook.and.iphone", 24, brandAccentColor);
    row->addWidget(headerSymbol_);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    titles->addWidget(textLabel("Orvane", FontRole::headline, QFont::Bold));
    subtitle_ = secondary({}, FontRole::caption);
    subtitle_->setObjectName("subtitle");
    titles->addWidget(subtitle_);
    row->addLayout(titles);
    row->addStretch(1);
    auto* dot = new Dot;
    dot->setObjectName("statusDot");
    dot_ = dot;
    row->addWidget(dot_);
    root->addLayout(row);
}

void HostMenuView::refreshHeader() {
    bool streaming = host_.isStreaming();
    subtitle_->setText(streaming ? "Sharing " + q(macDisplayName()) : q(host_.listenerState()));
    QColor grey = palette().color(QPalette::WindowText);
    grey.setAlphaF(0.4);
    static_cast<Dot*>(dot_)->setColour(streaming ? green : grey);
    dot_->setAccessibleName(streaming ? "Streaming" : "Idle");
}

// ---- Access code ----

void HostMenuView::buildAccessCard() {
    accessCard_ = new CardFrame(CardFrame::Tint::none, true);
    accessCard_->setObjectName("accessCodeCard");
    auto* l = cardLayout(accessCard_);
    l->addWidget(secondary("Access code", FontRole::caption, QFont::Medium), 0, Qt::AlignHCenter);
    code_ = new QLabel;
    code_->setObjectName("accessCode");
    code_->setTextFormat(Qt::PlainText);
    QFont mono("DejaVu Sans Mono");
    mono.setStyleHint(QFont::Monospace);
    mono.setPointSizeF(fontFor(FontRole::body).pointSizeF() * 30.0 / 13.0);
    mono.setWeight(QFont::DemiBold);
    code_->setFont(mono);
    code_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    l->addWidget(code_, 0, Qt::AlignHCenter);
    auto* buttons = new QHBoxLayout;
    copy_ = smallButton("Copy", "doc.on.doc");
    copy_->setObjectName("copyButton");
    newCode_ = smallButton("New code", "arrow.clockwise");
    newCode_->setObjectName("newCodeButton");
    connect(copy_, &QPushButton::clicked, this, &HostMenuView::copyAccessCode);
    connect(newCode_, &QPushButton::clicked, this, [this] { host_.newAccessCode(); });
    buttons->addStretch(1);
    buttons->addWidget(copy_);
    buttons->addWidget(newCode_);
    buttons->addStretch(1);
    l->addLayout(buttons);
    accessQr_ = new QrView;
    accessQr_->setObjectName("accessQr");
    l->addWidget(accessQr_, 0, Qt::AlignHCenter);
    scanCaption_ = secondary("Scan with Orvane on your device", FontRole::caption2);
    l->addWidget(scanCaption_, 0, Qt::AlignHCenter);
    reachNote_ = secondary({}, FontRole::caption2);
    reachNote_->setObjectName("reachNote");
    reachNote_->setWordWrap(true);
    reachNote_->setAlignment(Qt::AlignHCenter);
    l->addWidget(reachNote_);
    column_->addWidget(accessCard_);
}

void HostMenuView::refreshAccessCard() {
    code_->setText(q(host_.accessCode()));
    code_->setAccessibleName(spelled(host_.accessCode()));
    copy_->setText(copied_ ? "Copied" : "Copy");
    setSymbol(copy_, copied_ ? "checkmark" : "doc.on.doc");
    // The link is asked for afresh at every refresh: addresses and mappings change by themselves.
    std::optional<PairingLink> link;
    std::optional<QImage> image;
    if (!host_.supportCode() && s_.pairing) link = s_.pairing(host_.accessCode());
    if (link) image = qrCodeImage(link->url);
    accessQr_->setVisible(image.has_value());
    scanCaption_->setVisible(image.has_value());
    reachNote_->setVisible(image.has_value() && !link->reachNote.empty());
    if (image) {
        accessQr_->setImage(*image, q(link->url));
        reachNote_->setText(q(link->reachNote));
    } else {
        accessQr_->setImage({}, {});
    }
}

void HostMenuView::copyAccessCode() {
    s_.pasteboard.clearAndSetString(host_.accessCode());
    copied_ = true;
    refreshAccessCard();
    // Each press resets on its own; none is cancelled.
    QPointer<HostMenuView> self(this);
    s_.timers.after(copiedFor, s_.mainActor.executor(), [self] {
        if (!self) return;
        self->copied_ = false;
        self->refreshAccessCard();
    });
}

// ---- Support ----

void HostMenuView::buildSupportCard() {
    supportCard_ = new CardFrame(CardFrame::Tint::none, false);
    supportCard_->setObjectName("supportCard");
    auto* l = cardLayout(supportCard_);

    supportIdle_ = new QWidget;
    auto* idle = new QHBoxLayout(supportIdle_);
    idle->setContentsMargins(0, 0, 0, 0);
    idle->addWidget(Symbols::label("lifepreserver", 16));
    idle->addWidget(textLabel("Need help from someone?", FontRole::callout));
    idle->addStretch(1);
    auto* start = smallButton("Start Support");
    start->setObjectName("startSupportButton");
    connect(start, &QPushButton::clicked, this, &HostMenuView::startSupport);
    idle->addWidget(start);
    l->addWidget(supportIdle_);

    supportActive_ = new QWidget;
    auto* active = new QVBoxLayout(supportActive_);
    active->setContentsMargins(0, 0, 0, 0);
    active->setSpacing(8);
    auto* heading = new QHBoxLayout;
    heading->addWidget(Symbols::label("lifepreserver", 14, orange));
    heading->addWidget(
        textLabel("Support session", FontRole::subheadline, QFont::DemiBold, orange));
    heading->addStretch(1);
    active->addLayout(heading);
    auto* explain = secondary(
        "Give this one-time code to the person helping you. It stops working when they leave.",
        FontRole::caption2);
    explain->setWordWrap(true);
    active->addWidget(explain);
    supportCode_ = new QLabel;
    supportCode_->setObjectName("supportCode");
    supportCode_->setTextFormat(Qt::PlainText);
    QFont mono("DejaVu Sans Mono");
    mono.setStyleHint(QFont::Monospace);
    mono.setPointSizeF(fontFor(FontRole::body).pointSizeF() * 22.0 / 13.0);
    mono.setWeight(QFont::DemiBold);
    supportCode_->setFont(mono);
    supportCode_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    supportCode_->setAlignment(Qt::AlignHCenter);
    active->addWidget(supportCode_);
    supportQr_ = new QrView;
    supportQr_->setObjectName("supportQr");
    active->addWidget(supportQr_, 0, Qt::AlignHCenter);
    supportScanCaption_ = secondary("Scan this one-time code \u2014 not the everyday access code",
                                    FontRole::caption2);
    supportScanCaption_->setAlignment(Qt::AlignHCenter);
    supportScanCaption_->setWordWrap(true);
    active->addWidget(supportScanCaption_);
    auto* end = smallButton("End Support Session");
    end->setObjectName("endSupportButton");
    connect(end, &QPushButton::clicked, this, &HostMenuView::endSupport);
    active->addWidget(end, 0, Qt::AlignHCenter);
    l->addWidget(supportActive_);

    clearDrawings_ = smallButton("Clear Drawings", "pencil.slash");
    clearDrawings_->setObjectName("clearDrawingsButton");
    connect(clearDrawings_, &QPushButton::clicked, this, &HostMenuView::clearDrawings);
    l->addWidget(clearDrawings_, 0, Qt::AlignLeft);
    column_->addWidget(supportCard_);
}

void HostMenuView::refreshSupportCard() {
    const auto& code = host_.supportCode();
    supportCard_->setTint(code ? CardFrame::Tint::orange : CardFrame::Tint::none);
    supportIdle_->setVisible(!code);
    supportActive_->setVisible(code.has_value());
    clearDrawings_->setVisible(!host_.overlays().annotations().strokes().empty());
    if (!code) return;
    supportCode_->setText(q(*code));
    std::optional<PairingLink> link;
    std::optional<QImage> image;
    if (s_.pairing) link = s_.pairing(*code);
    if (link) image = qrCodeImage(link->url);
    supportQr_->setVisible(image.has_value());
    supportScanCaption_->setVisible(image.has_value());
    if (image) supportQr_->setImage(*image, q(link->url));
}

void HostMenuView::startSupport() {
    host_.setSupportCode(AccessCode::generate());
    host_.frontDoor().start();
}

void HostMenuView::clearDrawings() {
    host_.overlays().clearAnnotations();
}

void HostMenuView::endSupport() {
    host_.setSupportCode(std::nullopt);
    auto clients = host_.clients();
    for (const auto& c : clients)
        if (c->isSupport) host_.endSession(c, "The support session ended.");
    host_.frontDoor().start();
}

// ---- Permissions ----

void HostMenuView::buildPermissionsCard() {
    permissionsCard_ = new CardFrame(CardFrame::Tint::orange, false);
    permissionsCard_->setObjectName("permissionsCard");
    auto* l = cardLayout(permissionsCard_);
    auto* heading = new QHBoxLayout;
    heading->addWidget(Symbols::label("exclamationmark.shield", 14, orange));
    heading->addWidget(
        textLabel("Permissions needed", FontRole::subheadline, QFont::DemiBold, orange));
    heading->addStretch(1);
    l->addLayout(heading);
    struct Row {
        const char* title;
        const char* explanation;
        std::function<void()> action;
    };
    Row rows[2] = {
        {"Screen Recording", "So viewers can see your screen",
         [this] {
             if (s_.openPermissionSettings)
                 s_.openPermissionSettings(SettingsOpener::Page::screenRecording);
         }},
        {"Accessibility", "So viewers can use mouse and keyboard",
         [this] {
             host_.requestAccessibility();
             if (s_.openPermissionSettings)
                 s_.openPermissionSettings(SettingsOpener::Page::accessibility);
         }},
    };
    for (int i = 0; i < 2; ++i) {
        auto* row = new QHBoxLayout;
        permissionRows_[i].status = new QLabel;
        row->addWidget(permissionRows_[i].status);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(1);
        texts->addWidget(textLabel(rows[i].title, FontRole::callout));
        texts->addWidget(secondary(rows[i].explanation, FontRole::caption2));
        row->addLayout(texts);
        row->addStretch(1);
        auto* grant = smallButton("Grant");
        grant->setObjectName(i == 0 ? "grantScreenRecording" : "grantAccessibility");
        connect(grant, &QPushButton::clicked, this, rows[i].action);
        permissionRows_[i].grant = grant;
        row->addWidget(grant);
        l->addLayout(row);
    }
    column_->addWidget(permissionsCard_);
}

void HostMenuView::refreshPermissionsCard() {
    bool granted[2] = {host_.screenRecordingGranted(), host_.accessibilityGranted()};
    for (int i = 0; i < 2; ++i) {
        Symbols::setSymbol(permissionRows_[i].status,
                           granted[i] ? "checkmark.circle.fill" : "circle", 16,
                           granted[i] ? green : secondaryTextColor());
        permissionRows_[i].grant->setVisible(!granted[i]);
    }
}

// ---- Connected devices ----

void HostMenuView::buildDevicesCard() {
    devicesCard_ = new CardFrame(CardFrame::Tint::green, false);
    devicesCard_->setObjectName("devicesCard");
    auto* l = cardLayout(devicesCard_);
    l->addWidget(secondary("Connected", FontRole::caption, QFont::Medium));
    clientList_ = new QVBoxLayout;
    clientList_->setSpacing(8);
    l->addLayout(clientList_);
    sendFiles_ = smallButton("Send Files\u2026", "arrow.up.doc");
    sendFiles_->setObjectName("sendFilesButton");
    connect(sendFiles_, &QPushButton::clicked, this, [this] { host_.chooseFilesToSend(); });
    l->addWidget(sendFiles_, 0, Qt::AlignLeft);
    sendingList_ = new QVBoxLayout;
    sendingList_->setSpacing(4);
    l->addLayout(sendingList_);
    column_->addWidget(devicesCard_);
}

void HostMenuView::refreshDevicesCard(const std::vector<HostModel::ClientRow>& rows) {
    clearLayout(clientList_);
    bool anyAuthorized = false;
    for (const auto& r : rows) {
        anyAuthorized |= r.authorized;
        auto* rowWidget = new QWidget;
        rowWidget->setObjectName("clientRow");
        rowWidget->setProperty("clientID", q(r.id.string()));
        auto* row = new QHBoxLayout(rowWidget);
        row->setContentsMargins(0, 0, 0, 0);
        auto* symbol = Symbols::label(q(r.symbolName), 18);
        symbol->setFixedWidth(22);
        symbol->setAlignment(Qt::AlignCenter);
        row->addWidget(symbol);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(1);
        // The name is the device's own choice: shown as it is, never as markup.
        auto* name = textLabel(q(r.displayName), FontRole::callout);
        name->setObjectName("clientName");
        name->setWordWrap(true);
        texts->addWidget(name);
        auto* status =
            secondary(r.authorized ? "Controlling \u00b7 since " + shortTime(r.connectedAt)
                                   : QString("Waiting for approval"),
                      FontRole::caption2);
        status->setObjectName("clientStatus");
        texts->addWidget(status);
        row->addLayout(texts, 1);
        std::weak_ptr<RemoteClient> weak = r.client;
        if (r.authorized) {
            auto* control = iconButton(r.canControl ? "hand.point.up.left.fill" : "eye.fill", 16);
            control->setObjectName("controlButton");
            control->setToolTip(r.canControl ? "Can control \u00b7 click to make view-only"
                                             : "View only \u00b7 click to allow control");
            control->setAccessibleName(r.canControl ? "Make " + q(r.displayName) + " view-only"
                                                    : "Let " + q(r.displayName) + " control");
            connect(control, &QToolButton::clicked, this, [this, weak] {
                if (auto c = weak.lock()) host_.setCanControl(!c->canControl(), c);
                s_.model.requestRefresh();
            });
            row->addWidget(control);
        }
        auto* disconnect = iconButton("xmark.circle.fill", 16);
        disconnect->setObjectName("disconnectButton");
        disconnect->setToolTip("Disconnect");
        disconnect->setAccessibleName("Disconnect " + q(r.displayName));
        connect(disconnect, &QToolButton::clicked, this, [this, weak] {
            if (auto c = weak.lock()) host_.endSession(c, "Disconnected by the host.");
        });
        row->addWidget(disconnect);
        clientList_->addWidget(rowWidget);
    }
    sendFiles_->setVisible(anyAuthorized);
    // Lines go by position: two transfers may read the same.
    clearLayout(sendingList_);
    for (const auto& line : host_.sendingFiles()) {
        auto* w = new QWidget;
        auto* h = new QHBoxLayout(w);
        h->setContentsMargins(0, 0, 0, 0);
        h->addWidget(Symbols::label("arrow.up.circle", 12, secondaryTextColor()));
        auto* text = secondary(q(line), FontRole::caption2);
        text->setObjectName("sendingLine");
        h->addWidget(text, 1);
        sendingList_->addWidget(w);
    }
}

// ---- Chat ----

void HostMenuView::buildChatCard() {
    chatCard_ = new CardFrame(CardFrame::Tint::none, false);
    chatCard_->setObjectName("chatCard");
    chatCard_->installEventFilter(this);
    auto* l = cardLayout(chatCard_);
    auto* header = new QHBoxLayout;
    header->addWidget(secondary("Chat", FontRole::caption, QFont::Medium));
    unreadBadge_ = new QLabel;
    unreadBadge_->setObjectName("unreadBadge");
    unreadBadge_->setFont(fontFor(FontRole::caption2, QFont::Bold));
    unreadBadge_->setStyleSheet(
        "QLabel { background: #FF3B30; color: white; border-radius: 7px; padding: 0 6px; }");
    header->addWidget(unreadBadge_);
    header->addStretch(1);
    l->addLayout(header);
    chatScroll_ = new QScrollArea;
    chatScroll_->setObjectName("chatList");
    chatScroll_->setWidgetResizable(true);
    chatScroll_->setFrameShape(QFrame::NoFrame);
    chatScroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    chatScroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    auto* inner = new QWidget;
    chatList_ = new QVBoxLayout(inner);
    chatList_->setSpacing(6);
    chatList_->setContentsMargins(0, 0, 0, 0);
    chatList_->addStretch(1);
    chatScroll_->setWidget(inner);
    // The newest message stays in view as the list grows and lays itself out, until the person
    // scrolls.
    auto* bar = chatScroll_->verticalScrollBar();
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int max) {
        if (followNewest_) bar->setValue(max);
    });
    connect(bar, &QScrollBar::actionTriggered, this, [this] { followNewest_ = false; });
    l->addWidget(chatScroll_);
    auto* input = new QHBoxLayout;
    draft_ = new QLineEdit;
    draft_->setObjectName("chatDraft");
    draft_->setPlaceholderText("Message");
    draft_->setAccessibleName("Message");
    connect(draft_, &QLineEdit::returnPressed, this, &HostMenuView::sendChat);
    draft_->installEventFilter(this);
    chatScroll_->viewport()->installEventFilter(this);
    // Typing only decides the send button; the rest of the window stays as it is.
    connect(draft_, &QLineEdit::textChanged, this, [this] {
        send_->setEnabled(!draft_->text().trimmed().isEmpty() && s_.model.anyAuthorized());
    });
    input->addWidget(draft_, 1);
    send_ = iconButton("arrow.up.circle.fill", 20);
    send_->setObjectName("sendButton");
    send_->setAccessibleName("Send");
    send_->setToolTip("Send");
    connect(send_, &QToolButton::clicked, this, &HostMenuView::sendChat);
    input->addWidget(send_);
    l->addLayout(input);
    column_->addWidget(chatCard_);
}

void HostMenuView::sendChat() {
    host_.sendChat(draft_->text().toStdString());
    draft_->clear();
}

void HostMenuView::markChatRead() {
    if (host_.unreadChat() != 0) host_.setUnreadChat(0);
}

void HostMenuView::refreshChatCard(bool anyAuthorized) {
    const auto& chat = host_.chat();
    std::int64_t unread = host_.unreadChat();
    unreadBadge_->setVisible(unread >= 1);
    unreadBadge_->setText(QString::number(unread));
    chatScroll_->setFixedHeight(chat.empty() ? 24 : 120);
    bool countChanged = chat.size() != shownMessages_;
    if (countChanged) {
        // Messages are only ever appended; the list is drawn again from the start all the same.
        while (chatList_->count() > 1) {
            auto* item = chatList_->takeAt(0);
            if (item->widget()) item->widget()->deleteLater();
            delete item;
        }
        const std::string me = host_.frontDoor().machineName();
        int at = 0;
        for (const auto& m : chat) {
            bool mine = m.sender == me;
            auto* row = new QWidget;
            row->setObjectName(mine ? "chatRowMine" : "chatRow");
            auto* v = new QVBoxLayout(row);
            v->setContentsMargins(0, 0, 0, 0);
            v->setSpacing(1);
            // The bubble: the text on a rounded plate, wrapping within most of the list's width.
            auto* plate = new QFrame;
            plate->setObjectName(mine ? "chatPlateMine" : "chatPlate");
            plate->setStyleSheet(mine ? "QFrame#chatPlateMine { background: rgba(255,122,24,217); "
                                        "border-radius: 12px; }"
                                      : "QFrame#chatPlate { background: rgba(128,128,128,46); "
                                        "border-radius: 12px; }");
            auto* inPlate = new QVBoxLayout(plate);
            inPlate->setContentsMargins(10, 6, 10, 6);
            auto* bubble = textLabel(q(m.text), FontRole::callout, QFont::Normal,
                                     mine ? QColor(Qt::white) : QColor());
            bubble->setObjectName("chatBubble");
            // Long texts wrap at a fixed width; the list's layout would not ask for the height.
            constexpr int widest = 200;
            if (bubble->fontMetrics().horizontalAdvance(bubble->text()) > widest) {
                bubble->setWordWrap(true);
                bubble->setFixedSize(widest, bubble->heightForWidth(widest));
            }
            inPlate->addWidget(bubble);
            auto* caption = secondary(mine ? QString("You") : q(m.sender), FontRole::caption2);
            caption->setObjectName("chatCaption");
            Qt::Alignment side = mine ? Qt::AlignRight : Qt::AlignLeft;
            v->addWidget(plate, 0, side);
            v->addWidget(caption, 0, side);
            chatList_->insertWidget(at++, row);
        }
        shownMessages_ = chat.size();
        followNewest_ = true;
        chatScroll_->verticalScrollBar()->setValue(chatScroll_->verticalScrollBar()->maximum());
    }
    bool hasText = !draft_->text().trimmed().isEmpty();
    send_->setEnabled(hasText && anyAuthorized);
    // On screen: a card that just appeared, or a new message while it shows, has been seen.
    bool shown = isVisible() && !chatCard_->isHidden();
    if (shown && (!chatWasShown_ || countChanged)) markChatRead();
    chatWasShown_ = shown;
}

// ---- Received files and footer ----

void HostMenuView::buildFilesCard() {
    filesCard_ = new CardFrame(CardFrame::Tint::none, false);
    filesCard_->setObjectName("filesCard");
    auto* l = cardLayout(filesCard_);
    l->addWidget(secondary("Received files", FontRole::caption, QFont::Medium));
    fileList_ = new QVBoxLayout;
    fileList_->setSpacing(6);
    l->addLayout(fileList_);
    column_->addWidget(filesCard_);
}

void HostMenuView::refreshFilesCard(const std::vector<HostController::ReceivedFile>& existing) {
    clearLayout(fileList_);
    QFileIconProvider icons;
    for (std::size_t i = 0; i < existing.size() && i < 3; ++i) {
        const auto& f = existing[i];
        auto* button = new QPushButton;
        button->setObjectName("fileRow");
        button->setFlat(true);
        button->setToolTip("Show in Finder");
        button->setMinimumHeight(36);
        auto* h = new QHBoxLayout(button);
        h->setContentsMargins(2, 2, 2, 2);
        auto* icon = new QLabel;
        icon->setPixmap(icons.icon(QFileInfo(q(f.url.string()))).pixmap(22, 22));
        icon->setAttribute(Qt::WA_TransparentForMouseEvents);
        h->addWidget(icon);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(1);
        auto* name = textLabel(q(f.url.filename().string()), FontRole::callout);
        name->setObjectName("fileName");
        name->setAttribute(Qt::WA_TransparentForMouseEvents);
        texts->addWidget(name);
        auto* from =
            secondary("From " + q(f.from) + " \u00b7 " + shortTime(f.date), FontRole::caption2);
        from->setObjectName("fileFrom");
        from->setAttribute(Qt::WA_TransparentForMouseEvents);
        texts->addWidget(from);
        h->addLayout(texts, 1);
        auto* glass = Symbols::label("magnifyingglass", 14, secondaryTextColor());
        glass->setAttribute(Qt::WA_TransparentForMouseEvents);
        h->addWidget(glass);
        auto path = f.url;
        connect(button, &QPushButton::clicked, this, [this, path] {
            if (s_.reveal) s_.reveal(path);
        });
        fileList_->addWidget(button);
    }
}

void HostMenuView::buildFooter(QVBoxLayout* root) {
    auto* row = new QHBoxLayout;
    errorSymbol_ = Symbols::label("exclamationmark.triangle", 12, Qt::red);
    row->addWidget(errorSymbol_);
    error_ = textLabel({}, FontRole::caption2, QFont::Normal, Qt::red);
    error_->setObjectName("lastError");
    error_->setWordWrap(true);
    error_->setMaximumHeight(error_->fontMetrics().lineSpacing() * 2 + 2);
    row->addWidget(error_, 1);
    row->addStretch(0);
    auto* settings = new QToolButton;
    settings->setText("Settings\u2026");
    settings->setObjectName("settingsButton");
    auto* quit = new QToolButton;
    quit->setText("Quit Orvane");
    quit->setObjectName("quitButton");
    for (auto* b : {settings, quit}) {
        b->setAutoRaise(true);
        b->setFont(fontFor(FontRole::caption));
        QPalette p = b->palette();
        p.setColor(QPalette::ButtonText, secondaryTextColor());
        b->setPalette(p);
        row->addWidget(b);
    }
    auto openSettings = [this] {
        if (s_.openSettings) s_.openSettings();
    };
    auto quitNow = [this] {
        if (s_.quit) s_.quit();
    };
    connect(settings, &QToolButton::clicked, this, openSettings);
    connect(quit, &QToolButton::clicked, this, quitNow);
    auto* settingsKey = new QShortcut(QKeySequence("Ctrl+,"), this);
    connect(settingsKey, &QShortcut::activated, this, openSettings);
    auto* quitKey = new QShortcut(QKeySequence("Ctrl+Q"), this);
    connect(quitKey, &QShortcut::activated, this, quitNow);
    root->addLayout(row);
}

// ---- Refresh ----

void HostMenuView::refresh() {
    auto rows = s_.model.clientRows();
    bool anyAuthorized = false;
    for (const auto& r : rows) anyAuthorized |= r.authorized;
    std::vector<HostController::ReceivedFile> existing;
    for (const auto& f : host_.receivedFiles()) {
        std::error_code ec;
        if (std::filesystem::exists(f.url, ec)) existing.push_back(f);
    }

    refreshHeader();
    refreshAccessCard();
    refreshSupportCard();
    permissionsCard_->setVisible(!host_.screenRecordingGranted() || !host_.accessibilityGranted());
    refreshPermissionsCard();
    devicesCard_->setVisible(!rows.empty());
    refreshDevicesCard(rows);
    chatCard_->setVisible(anyAuthorized || !host_.chat().empty());
    refreshChatCard(anyAuthorized);
    filesCard_->setVisible(!existing.empty());
    refreshFilesCard(existing);
    const auto& error = host_.lastError();
    errorSymbol_->setVisible(error.has_value());
    error_->setVisible(error.has_value());
    error_->setText(error ? q(*error) : QString());
    if (isWindow()) adjustSize();
}

const char* HostMenuView::reachNote(PairingReach reach) {
    switch (reach) {
        case PairingReach::sameNetworkOnly:
            return reachSameNetworkOnly;
        case PairingReach::bestEffortInternet:
            return reachBestEffortInternet;
        case PairingReach::behindCarrierGradeNAT:
            return reachBehindCarrierGradeNAT;
    }
    return "";
}

HostMenuView::PairingLink HostMenuView::pairingLink(const HostController& host,
                                                    const std::string& code) {
    auto info = host.makePairingInfo(code);
    return {info.url(), reachNote(info.reach())};
}

QStringList HostMenuView::visibleCards() const {
    QStringList out;
    for (int i = 0; i < column_->count(); ++i)
        if (auto* w = column_->itemAt(i)->widget(); w && !w->isHidden()) out << w->objectName();
    return out;
}

CardFrame* HostMenuView::card(const QString& name) const {
    return findChild<CardFrame*>(name);
}

void HostMenuView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Files may have gone while the window was hidden.
    s_.model.requestRefresh();
}

bool HostMenuView::eventFilter(QObject* watched, QEvent* event) {
    // A press anywhere on the chat card, also in the parts that keep presses to themselves.
    if ((watched == chatCard_ || watched == draft_ || watched == chatScroll_->viewport()) &&
        event->type() == QEvent::MouseButtonPress)
        markChatRead();
    return QWidget::eventFilter(watched, event);
}

}  // namespace orvane
