#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/base/TimerService.h"
#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/protocol/Messages.h"
#include "Orvane_Host/session/RemoteClient.h"
#include "Orvane_Host/session/SessionServices.h"

namespace orvane {

// What passes between the machine and its viewers besides the screen: the 1 s poll (the
// permission flags, the clipboard to viewers), chat written at the machine, files sent to
// viewers and received from them, printed documents, and open at login. Main actor only.
class Exchange : SessionPart {
public:
    using Clients = std::vector<std::shared_ptr<RemoteClient>>;

    struct ReceivedFile {
        Uuid id;
        std::filesystem::path url;
        std::string from;
        Date date;
    };

    static constexpr auto pollInterval = std::chrono::seconds(1);
    // The longest clipboard text sent, in UTF-8 bytes.
    static constexpr std::size_t largestClipboard = 999'999;
    static constexpr std::size_t receivedFilesKept = 5;
    static constexpr const char* printPurpose = "print";
    static constexpr const char* chooseMessage = "Choose files to send to your connected devices";
    static constexpr const char* chooseButton = "Send";
    static constexpr const char* approvalNeeded =
        "Switch on Orvane Host in System Settings \u203a General \u203a Login Items.";

    // What the exchange needs of the rest of the host.
    class Host {
    public:
        virtual const Clients& clients() const = 0;
        virtual bool shareClipboard() const = 0;
        // The pasteboard's change count last seen or written by the host.
        virtual std::int64_t pasteboardCount() const = 0;
        virtual void setPasteboardCount(std::int64_t count) = 0;
        virtual const bool& screenRecordingGranted() const = 0;
        virtual void setScreenRecordingGranted(bool v) = 0;
        virtual const bool& accessibilityGranted() const = 0;
        virtual void setAccessibilityGranted(bool v) = 0;
        virtual void setLaunchAtLoginField(bool v) = 0;
        virtual void setLastError(std::optional<std::string> v) = 0;
        virtual const std::vector<ChatMessage>& chat() const = 0;
        virtual void setChat(std::vector<ChatMessage> v) = 0;
        virtual const std::vector<std::string>& sendingFiles() const = 0;
        virtual void setSendingFiles(std::vector<std::string> v) = 0;
        virtual const std::vector<ReceivedFile>& receivedFiles() const = 0;
        virtual void setReceivedFiles(std::vector<ReceivedFile> v) = 0;
        virtual std::string machineName() const = 0;

    protected:
        ~Host() = default;
    };

    // Reads the permission flags and the login item, and takes the files clients complete.
    Exchange(const SessionServices& services, std::weak_ptr<void> core, Host& host);

    void startPolling();
    void stopPolling();
    // The permission flags, then the clipboard to every authorised client when it changed.
    void pollTick();

    void sendChat(const std::string& text);
    // Asks for files, then sends them to every authorised client, each client in its own
    // sequence.
    void chooseFilesToSend();
    // One file after the other; a file that fails shows why and the next one follows.
    void sendFiles(std::vector<std::filesystem::path> files,
                   const std::shared_ptr<RemoteClient>& client);
    // Sends a printed document to the best client; the document is removed in every case.
    void printDocument(const std::filesystem::path& pdf);
    void fileReceived(const std::filesystem::path& file,
                      const std::shared_ptr<RemoteClient>& client);

    void setLaunchAtLogin(bool on);
    // There is nothing to ask for: the next poll shows whether input reaches the session.
    void requestAccessibility() {}
    std::string displayName(std::uint32_t displayID) const;

private:
    Clients authorised() const;
    void refreshPermissions();

    Host& host_;
    TimerHandle pollTimer_;
};

}  // namespace orvane
