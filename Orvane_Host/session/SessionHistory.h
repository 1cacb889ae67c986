#pragma once

#include <asio/any_io_executor.hpp>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/base/Signal.h"
#include "OrvaneKit/base/Uuid.h"
#include "OrvaneKit/protocol/Json.h"
#include "OrvaneKit/records/SessionLogEntry.h"

namespace orvane {

class RemoteClient;
enum class ConnectionRoute;

// Who tried to connect and who was connected, newest first, kept in one JSON file. Every list
// operation runs on the main actor; saves run on one serial background executor, each with its
// own copy of the list, so the file always ends up holding the latest list.
class SessionHistory {
public:
    struct Entry {
        enum class Kind { control, viewOnly, screenShare, support, declined, wrongCode };

        Uuid id;
        std::string device;
        std::string symbol;
        std::string address;
        std::string route;
        Kind kind = Kind::control;
        Date started;
        std::optional<Date> ended;
        std::string outcome;
        std::optional<bool> unattended;

        bool operator==(const Entry&) const = default;
        bool isSession() const;
    };

    static constexpr std::size_t maxEntries = 500;
    // Wrong codes from one address this close together are one attempt.
    static constexpr std::chrono::milliseconds wrongCodeMerge{3000};

    // Loads `file` at once; `writer` must run its work one item at a time.
    SessionHistory(std::filesystem::path file, const Clock& clock, asio::any_io_executor writer);

    // $XDG_DATA_HOME/com.nimbrel.kelsap.host/SessionHistory.json
    static std::filesystem::path standardFile();

    const std::vector<Entry>& entries() const { return entries_.get(); }
    // Told when the list changes.
    Signal<const std::vector<Entry>&>& changed() { return entries_.changed; }
    const std::filesystem::path& file() const { return file_; }

    void recordWrongCode(const std::string& address);
    void recordDeclined(const RemoteClient& client);
    void recordConnected(const RemoteClient& client, bool unattended);
    void recordEnded(const RemoteClient& client, const std::string& outcome);
    // Removes every entry whose id is not kept, and saves.
    void remove(const std::unordered_set<Uuid>& keeping);
    // Oldest first, for the export.
    std::vector<SessionLogEntry> logEntries() const;

    static std::string routeLabel(ConnectionRoute route);

private:
    void add(Entry entry);
    void save();
    void load();

    std::filesystem::path file_;
    const Clock& clock_;
    asio::any_io_executor writer_;
    Observable<std::vector<Entry>> entries_;
    // Shared with the queued saves: a save that a newer one follows is skipped, and the
    // unreadable file's new name waits there until a save actually runs.
    struct WriterState {
        std::mutex mutex;
        std::uint64_t latest = 0;
        std::optional<std::string> moveAsideSuffix;
    };
    std::shared_ptr<WriterState> writerState_ = std::make_shared<WriterState>();
    // The newest wrong-code entry this process made, with its monotonic time.
    std::optional<std::pair<Uuid, MonoTime>> lastWrongCode_;
};

std::string_view rawValue(SessionHistory::Entry::Kind kind);
std::optional<SessionHistory::Entry::Kind> entryKindFromRaw(std::string_view text);
std::string_view label(SessionHistory::Entry::Kind kind);

void toJson(json::Value& out, SessionHistory::Entry::Kind v);
void fromJson(const json::Value& in, SessionHistory::Entry::Kind& v);
void toJson(json::Value& out, const SessionHistory::Entry& v);
void fromJson(const json::Value& in, SessionHistory::Entry& v);

}  // namespace orvane
