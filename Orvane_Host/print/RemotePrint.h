#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/MainActor.h"
#include "OrvaneKit/base/TimerService.h"
#include "Orvane_Host/print/FolderWatcher.h"

namespace orvane {

// Printing to a connected device: writes the "Print with Orvane" script that the print queue's
// backend runs as the printing user, watches the inbox the script copies into, and hands every
// finished PDF there to onDocument, once. Main actor only.
class RemotePrint : public std::enable_shared_from_this<RemotePrint> {
public:
    struct Config {
        MainActor& mainActor;
        TimerService& timers;
        FolderWatcher& watcher;
        std::filesystem::path inbox = standardInbox();
        std::filesystem::path script = standardScript();
    };

    static constexpr auto scanDelay = std::chrono::milliseconds(500);
    // Documents being handed over wait here, one folder each, out of every later scan's way.
    static constexpr const char* sendingFolder = ".sending";

    // $XDG_DATA_HOME/Orvane/Print
    static std::filesystem::path standardInbox();
    // Under the home folder itself: the print backend finds it from the user's home alone.
    static std::filesystem::path standardScript();
    static std::filesystem::path scriptIn(const std::filesystem::path& home);
    // The script copying its third argument into the inbox under its first, cleaned.
    static std::string scriptText(const std::filesystem::path& inbox);

    static std::shared_ptr<RemotePrint> make(Config config);

    // Called with the claimed document; whoever takes it removes it.
    std::function<void(const std::filesystem::path&)> onDocument;

    // Once, after onDocument is set: the inbox, the script, then watching.
    void start();

    const Logger log{"com.nimbrel.kelsap.host", "print"};

private:
    explicit RemotePrint(Config config) : c_(std::move(config)) {}
    void installScript();
    void startWatching();
    void noted(const FolderEvent& event);
    void scheduleScan(std::uint64_t event);
    // Hands over what was finished by the time of that event, and still is as it was then.
    void scan(std::uint64_t upToEvent);
    std::filesystem::path claim(const std::filesystem::path& file);

    struct Written {
        std::uintmax_t size;
        std::filesystem::file_time_type modified;
        bool operator==(const Written&) const = default;
    };
    struct Noted {
        Written written;
        std::uint64_t event;  // the event that brought the note; 0: found at start
    };
    static std::optional<Written> writtenNow(const std::filesystem::path& file);
    Config c_;
    std::uint64_t events_ = 0;
    // Files seen closed after writing (or moved in), as they were then. A file goes out only
    // while it still is exactly that, the full delay after.
    std::map<std::string, Noted> finished_;
};

}  // namespace orvane
