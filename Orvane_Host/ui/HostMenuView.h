#pragma once

#include <QPointer>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/MainActor.h"
#include "OrvaneKit/base/TimerService.h"
#include "OrvaneKit/reach/Pairing.h"
#include "Orvane_Host/system/Pasteboard.h"
#include "Orvane_Host/system/SettingsOpener.h"
#include "Orvane_Host/ui/HostModel.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QToolButton;
class QVBoxLayout;

namespace orvane {

class CardFrame;
class QrView;

// The host's one window: a header with the sharing state, the cards (access code, support,
// permissions, devices, chat, received files) each shown by its own rule, and a footer. It holds
// nothing of its own but whether the code was just copied and the chat draft: everything else
// is read again from the controller at every refresh.
class HostMenuView : public QWidget {
    Q_OBJECT
public:
    // What a viewer scans to pair: the link, and a note on how far it reaches (empty: none).
    struct PairingLink {
        std::string url;
        std::string reachNote;
    };
    struct Services {
        HostModel& model;
        Pasteboard& pasteboard;
        TimerService& timers;
        MainActor& mainActor;
        // The pairing link of a code; none: no QR code is shown.
        std::function<std::optional<PairingLink>(const std::string& code)> pairing;
        // Shows a received file in the file manager.
        std::function<void(const std::filesystem::path&)> reveal;
        std::function<void()> openSettings;
        std::function<void()> quit;
        // Where the person grants a missing permission.
        std::function<void(SettingsOpener::Page)> openPermissionSettings;
    };

    // The notes under the QR code, by how far the pairing link reaches.
    static constexpr const char* reachSameNetworkOnly =
        "This code works on the same network. Your router has not opened a port for this Mac, so "
        "away from home it may not connect.";
    static constexpr const char* reachBestEffortInternet =
        "This code also lists this Mac's public address, so it may work away from home. It cannot "
        "get through carrier-grade NAT.";
    static constexpr const char* reachBehindCarrierGradeNAT =
        "Your internet provider shares one public address between many homes (carrier-grade NAT), "
        "so this code only works on the same network.";

    static const char* reachNote(PairingReach reach);
    // The controller's pairing link for a code, with its note.
    static PairingLink pairingLink(const HostController& host, const std::string& code);

    static constexpr int fixedWidth = 340;
    static constexpr auto copiedFor = std::chrono::milliseconds(1500);

    explicit HostMenuView(Services services, QWidget* parent = nullptr);

    // Re-reads everything the window shows. Normally driven by the model, once per turn.
    void refresh();

    // The cards on show, top to bottom, by object name.
    QStringList visibleCards() const;
    CardFrame* card(const QString& name) const;

    void copyAccessCode();
    void startSupport();
    void endSupport();
    void clearDrawings();
    void sendChat();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildHeader(QVBoxLayout* root);
    void buildAccessCard();
    void buildSupportCard();
    void buildPermissionsCard();
    void buildDevicesCard();
    void buildChatCard();
    void buildFilesCard();
    void buildFooter(QVBoxLayout* root);
    void refreshHeader();
    void refreshAccessCard();
    void refreshSupportCard();
    void refreshPermissionsCard();
    void refreshDevicesCard(const std::vector<HostModel::ClientRow>& rows);
    void refreshChatCard(bool anyAuthorized);
    void refreshFilesCard(const std::vector<HostController::ReceivedFile>& existing);
    void markChatRead();

    Services s_;
    HostController& host_;
    bool copied_ = false;

    QLabel* headerSymbol_ = nullptr;
    QLabel* subtitle_ = nullptr;
    QWidget* dot_ = nullptr;

    CardFrame* accessCard_ = nullptr;
    QLabel* code_ = nullptr;
    QPushButton* copy_ = nullptr;
    QPushButton* newCode_ = nullptr;
    QrView* accessQr_ = nullptr;
    QLabel* scanCaption_ = nullptr;
    QLabel* reachNote_ = nullptr;

    CardFrame* supportCard_ = nullptr;
    QWidget* supportIdle_ = nullptr;
    QWidget* supportActive_ = nullptr;
    QLabel* supportCode_ = nullptr;
    QrView* supportQr_ = nullptr;
    QLabel* supportScanCaption_ = nullptr;
    QPushButton* clearDrawings_ = nullptr;

    CardFrame* permissionsCard_ = nullptr;
    struct PermissionRow {
        QLabel* status = nullptr;
        QPushButton* grant = nullptr;
    };
    PermissionRow permissionRows_[2];

    CardFrame* devicesCard_ = nullptr;
    QVBoxLayout* clientList_ = nullptr;
    QPushButton* sendFiles_ = nullptr;
    QVBoxLayout* sendingList_ = nullptr;

    CardFrame* chatCard_ = nullptr;
    QLabel* unreadBadge_ = nullptr;
    QScrollArea* chatScroll_ = nullptr;
    QVBoxLayout* chatList_ = nullptr;
    QLineEdit* draft_ = nullptr;
    QToolButton* send_ = nullptr;
    std::size_t shownMessages_ = 0;
    bool chatWasShown_ = false;
    bool followNewest_ = true;

    CardFrame* filesCard_ = nullptr;
    QVBoxLayout* fileList_ = nullptr;

    QLabel* errorSymbol_ = nullptr;
    QLabel* error_ = nullptr;

    QVBoxLayout* column_ = nullptr;
};

}  // namespace orvane
