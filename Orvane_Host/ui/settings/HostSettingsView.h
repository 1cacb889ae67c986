#pragma once

#include <QTabWidget>
#include <asio/any_io_executor.hpp>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/MainActor.h"
#include "Orvane_Host/session/ILocalAddresses.h"
#include "Orvane_Host/ui/HostModel.h"
#include "Orvane_Host/ui/settings/SettingsText.h"

namespace orvane {

class UpdateChecker;

// The settings window: six panes over the controller, each rebuilt whenever its tab shows, so
// it never keeps a stale copy. Every control writes through the controller's setters, which
// apply the value to the sessions in progress. Main actor only.
class HostSettingsView : public QTabWidget {
    Q_OBJECT
public:
    enum class SystemPage { sharing, power };
    struct Services {
        HostModel& model;
        SessionHistory& history;
        // Asks the cloud store off the main actor; `done` runs on the main actor.
        std::function<void(std::function<void(std::optional<settings::AccountStatus>)> done)>
            accountStatus;
        std::function<void(SystemPage)> openSystemSettings;
        std::function<LocalAddressLists()> localAddresses;
        std::function<std::string()> anywhereStatus;
        // The host's log, oldest file first.
        std::vector<std::filesystem::path> logFiles;
        // A save dialog: the chosen file, or nothing when the person cancelled.
        std::function<std::optional<std::filesystem::path>(const std::string& name,
                                                           const std::string& filter)>
            saveFile;
        std::function<void(const std::filesystem::path&)> reveal;
        std::string fingerprint;
        bool hardwareBackedKey = false;
        std::optional<std::string> shortVersion;
        std::optional<std::string> buildNumber;
        UpdateChecker* updates = nullptr;
        std::function<Date()> now;
        // Where the log export reads and writes, and where it reports back. Without them it
        // runs in place, holding the window.
        MainActor* mainActor = nullptr;
        asio::any_io_executor background = {};
    };

    static constexpr int paneWidth = 520;
    explicit HostSettingsView(Services services, QWidget* parent = nullptr);
    ~HostSettingsView() override;

    // GNOME's sharing or power panel when it is installed; elsewhere nothing.
    static void openDesktopPage(SystemPage page);

    // Shows the window in front of every other, its current pane rebuilt.
    void present();

    // The status the General pane shows; "Checking…" until the cloud store answers.
    const std::string& accountText() const { return accountText_; }
    std::optional<std::string> exportError() const { return exportError_; }
    bool isExporting() const { return exporting_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void rebuild(int index);
    QWidget* makePane(int index);
    QWidget* general();
    QWidget* security();
    QWidget* picture();
    QWidget* network();
    QWidget* history();
    QWidget* about();
    void exportLogs();
    void exportHistory();
    void clearHistory();
    void askAccountStatus();
    void exportFinished(const std::filesystem::path& target, std::optional<std::string> error);

    Services s_;
    // Pane state that survives the live redraws of one showing.
    std::string accountText_ = "Checking\u2026";
    std::uint64_t accountGeneration_ = 0;
    LocalAddressLists addresses_;
    std::optional<std::string> exportError_;
    bool exporting_ = false;
    int historyFilter_ = 0;
    bool stale_ = false;
    SignalConnection historyConnection_;
    SignalConnection updateConnection_;
    // Work finishing on the main actor after the window went checks this first.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace orvane
