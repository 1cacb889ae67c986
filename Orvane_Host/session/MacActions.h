#pragma once

#include <asio/any_io_executor.hpp>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/MainActor.h"
#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/protocol/Messages.h"
#include "Orvane_Host/input/InputInjector.h"
#include "Orvane_Host/session/IMacActions.h"
#include "Orvane_Host/system/DesktopEntries.h"
#include "Orvane_Host/system/DisplayPower.h"
#include "Orvane_Host/system/FrontmostApp.h"
#include "Orvane_Host/system/JpegEncoder.h"
#include "Orvane_Host/system/PowerActions.h"
#include "Orvane_Host/system/ProcessRunner.h"
#include "Orvane_Host/system/TextRecognizer.h"

namespace orvane {

// What a viewer may have the machine do besides input: power commands, opening an app or a web
// address, running one of the owner's shortcuts, the text on the screen and a snapshot of it.
//
// Commands, screen text and snapshots run on an executor of their own (not the shared
// background pool), so a command that never ends or a slow recognition holds up nobody else;
// programs are waited for without holding a thread. Each client's requests still finish in the
// order they came, and each answers only the client that asked. The executor must stop before
// this object goes.
class MacActions final : public IMacActions {
public:
    struct Services {
        MainActor& mainActor;
        const Clock& clock;
        InputInjector& injector;
        PowerActions& power;
        DisplayPower& display;
        ProcessRunner& processes;
        TextRecognizer& recognizer;
        JpegEncoder& jpeg;
        FrontmostApp& frontmost;
        asio::any_io_executor work;
    };
    struct Config {
        std::vector<std::filesystem::path> applicationFolders = DesktopEntries::standardFolders();
        std::filesystem::path shortcutsFolder = standardShortcutsFolder();
        std::string appLauncher = "gio";  // run as: gio launch <desktop entry>
        std::string urlOpener = "xdg-open";
    };

    static constexpr std::size_t maxScreenTextLines = 400;
    static constexpr int jpegQuality = 85;
    static constexpr const char* chatSender = "Mac";
    static constexpr const char* notAWebAddress = "That isn't a web address.";

    // $XDG_CONFIG_HOME/orvane-host/shortcuts: each executable file there is a shortcut, run by
    // its file name.
    static std::filesystem::path standardShortcutsFolder();

    MacActions(Services services, Config config);
    MacActions(const MacActions&) = delete;
    MacActions& operator=(const MacActions&) = delete;

    // Main actor. Lock: held input is let go first, and the lock follows everything the injector
    // still has queued. Display sleep and restart go to the work executor and are not awaited.
    void performPowerCommand(const HostAction& action) override;
    void performMacCommand(const MacCommand& command,
                           const std::shared_ptr<RemoteClient>& client) override;
    void replyScreenText(const std::shared_ptr<RemoteClient>& client, Frame frame) override;
    void replyScreenshot(const std::shared_ptr<RemoteClient>& client, Frame frame) override;

    // ---- The pieces, each usable on its own ----
    // Carries the command out and gives its result text, on the work executor, once.
    void runMacCommand(const MacCommand& command, std::function<void(std::string)> reply);
    // The address a viewer's text stands for ("https://" put in front when it names no
    // scheme), or nothing when that is not an http or https address with a host.
    static std::optional<std::string> webAddress(const std::string& text);
    // A name that can only mean a file directly inside the shortcuts folder.
    static bool isSafeShortcutName(const std::string& name);
    // Whether `a` is read before `b`: the higher one first, unless the two are within 0.01 of
    // each other in height, and then the one further left.
    static bool screenTextOrder(const TextObservation& a, const TextObservation& b);
    // The texts in reading order, empty ones left out, at most maxScreenTextLines.
    static std::vector<std::string> readingOrder(std::vector<TextObservation> observations);
    // Blocks the calling thread while recognising.
    ScreenText recognizeScreenText(const Frame& frame);
    // Empty without a frame or when the encoder fails.
    Bytes jpegSnapshot(const Frame& frame);

private:
    using Job = std::function<void(std::function<void()> finished)>;
    struct Queue {
        std::deque<Job> jobs;
        bool running = false;
    };
    void enqueue(const Uuid& client, Job job);
    void startNext(const Uuid& client);
    void sendChat(const std::shared_ptr<RemoteClient>& client, const std::string& text);

    Services s_;
    Config config_;
    const Logger log_{"com.nimbrel.kelsap.host", "actions"};
    std::mutex mutex_;
    std::map<Uuid, Queue> queues_;
};

}  // namespace orvane
