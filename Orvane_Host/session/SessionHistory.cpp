#include "Orvane_Host/session/SessionHistory.h"

#include <sys/stat.h>

#include <algorithm>
#include <asio/post.hpp>
#include <fstream>
#include <iterator>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/Paths.h"
#include "OrvaneKit/reach/ConnectionRoute.h"
#include "Orvane_Host/session/RemoteClient.h"

namespace orvane {

namespace {

using Kind = SessionHistory::Entry::Kind;

const Logger& log() {
    static const Logger l{"com.nimbrel.kelsap.host", "net"};
    return l;
}

constexpr std::pair<Kind, std::string_view> kindNames[] = {
    {Kind::control, "control"}, {Kind::viewOnly, "viewOnly"}, {Kind::screenShare, "screenShare"},
    {Kind::support, "support"}, {Kind::declined, "declined"}, {Kind::wrongCode, "wrongCode"},
};

std::string asideSuffix(WallTime now) {
    auto text = Date::fromTimePoint(now).iso8601(false);
    std::replace(text.begin(), text.end(), ':', '-');
    return ".unreadable-" + text;
}

// Writes one list; runs on the writer. False when the unreadable file could not be moved
// aside, so nothing was written over it.
bool writeList(const std::filesystem::path& file, const std::vector<SessionHistory::Entry>& list,
               const std::optional<std::string>& moveAsideSuffix) {
    std::error_code ec;
    auto folder = file.parent_path();
    if (!folder.empty() && !std::filesystem::exists(folder, ec)) {
        std::filesystem::create_directories(folder.parent_path(), ec);
        ::mkdir(folder.c_str(), 0700);
    }
    if (moveAsideSuffix && std::filesystem::exists(file, ec)) {
        auto aside = file;
        aside += *moveAsideSuffix;
        std::filesystem::rename(file, aside, ec);
        if (ec) {
            log().error("session history unreadable and cannot be moved aside: {}", ec.message());
            return false;
        }
    }
    auto bytes = json::encode(list);
    if (bytes) writeFileAtomically(file, bytes->data(), bytes->size(), 0600);
    return true;
}

}  // namespace

bool SessionHistory::Entry::isSession() const {
    return kind == Kind::control || kind == Kind::viewOnly || kind == Kind::screenShare ||
           kind == Kind::support;
}

std::string_view rawValue(Kind kind) {
    for (auto& [k, name] : kindNames)
        if (k == kind) return name;
    return "control";
}

std::optional<Kind> entryKindFromRaw(std::string_view text) {
    for (auto& [k, name] : kindNames)
        if (name == text) return k;
    return std::nullopt;
}

std::string_view label(Kind kind) {
    switch (kind) {
        case Kind::control:
            return "Control";
        case Kind::viewOnly:
            return "View only";
        case Kind::screenShare:
            return "Shared their screen";
        case Kind::support:
            return "Support code";
        case Kind::declined:
            return "Asked to connect";
        case Kind::wrongCode:
            return "Tried to connect";
    }
    return "";
}

void toJson(json::Value& out, Kind v) {
    out = std::string(rawValue(v));
}

void fromJson(const json::Value& in, Kind& v) {
    auto text = json::fromValue<std::string>(in);
    auto k = entryKindFromRaw(text);
    if (!k) json::fail("unknown kind \"" + text + "\"");
    v = *k;
}

void toJson(json::Value& out, const SessionHistory::Entry& v) {
    out = json::Value::object();
    json::putField(out, "id", v.id);
    json::putField(out, "device", v.device);
    json::putField(out, "symbol", v.symbol);
    json::putField(out, "address", v.address);
    json::putField(out, "route", v.route);
    json::putField(out, "kind", v.kind);
    json::putField(out, "started", v.started);
    json::putOptional(out, "ended", v.ended);
    json::putField(out, "outcome", v.outcome);
    json::putOptional(out, "unattended", v.unattended);
}

void fromJson(const json::Value& in, SessionHistory::Entry& v) {
    json::requireObject(in);
    v.id = json::requireField<Uuid>(in, "id");
    v.device = json::requireField<std::string>(in, "device");
    v.symbol = json::requireField<std::string>(in, "symbol");
    v.address = json::requireField<std::string>(in, "address");
    v.route = json::requireField<std::string>(in, "route");
    v.kind = json::requireField<Kind>(in, "kind");
    v.started = json::requireField<Date>(in, "started");
    v.ended = json::optionalField<Date>(in, "ended");
    v.outcome = json::requireField<std::string>(in, "outcome");
    v.unattended = json::optionalField<bool>(in, "unattended");
}

SessionHistory::SessionHistory(std::filesystem::path file, const Clock& clock,
                               asio::any_io_executor writer)
    : file_(std::move(file)), clock_(clock), writer_(std::move(writer)) {
    load();
}

std::filesystem::path SessionHistory::standardFile() {
    return Paths::applicationSupport() / "com.nimbrel.kelsap.host" / "SessionHistory.json";
}

std::string SessionHistory::routeLabel(ConnectionRoute route) {
    switch (route) {
        case ConnectionRoute::localNetwork:
            return "This network";
        case ConnectionRoute::privateNetwork:
            return "Private network";
        case ConnectionRoute::internet:
            return "Internet";
        case ConnectionRoute::natTraversal:
            return "Internet (through NAT)";
        case ConnectionRoute::unknown:
            return "";
    }
    return "";
}

void SessionHistory::load() {
    std::error_code ec;
    if (!std::filesystem::exists(file_, ec)) return;
    std::ifstream in(file_, std::ios::binary);
    std::string raw;
    if (in) raw.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::string why;
    auto list = in ? json::decode<std::vector<Entry>>(asBytes(raw), &why) : std::nullopt;
    if (!in) why = "cannot be read";
    if (!list) {
        // Start empty, but keep the old entries out of the way of the next save.
        writerState_->moveAsideSuffix = asideSuffix(clock_.wallNow());
        log().error("session history unreadable ({}); it will be kept aside", why);
        return;
    }
    for (auto& e : *list)
        if (e.isSession() && !e.ended) e.outcome = "Orvane Host stopped";
    if (list->size() > maxEntries) list->resize(maxEntries);
    entries_.set(std::move(*list));
}

void SessionHistory::save() {
    std::uint64_t generation;
    {
        std::lock_guard lock(writerState_->mutex);
        generation = ++writerState_->latest;
    }
    asio::post(writer_, [state = writerState_, generation, file = file_, list = entries_.get()] {
        std::optional<std::string> aside;
        {
            std::lock_guard lock(state->mutex);
            if (generation != state->latest) return;  // a newer list is on its way
            aside = state->moveAsideSuffix;
        }
        if (!writeList(file, list, aside)) return;
        std::lock_guard lock(state->mutex);
        if (aside) state->moveAsideSuffix.reset();
    });
}

void SessionHistory::add(Entry entry) {
    auto list = entries_.get();
    list.insert(list.begin(), std::move(entry));
    if (list.size() > maxEntries) list.resize(maxEntries);
    entries_.set(std::move(list));
    save();
}

void SessionHistory::recordWrongCode(const std::string& address) {
    auto now = clock_.monoNow();
    const auto& list = entries_.get();
    if (!list.empty() && lastWrongCode_) {
        const auto& newest = list.front();
        if (newest.kind == Kind::wrongCode && newest.address == address &&
            newest.id == lastWrongCode_->first && now - lastWrongCode_->second < wrongCodeMerge)
            return;
    }
    Entry e;
    e.id = Uuid::random();
    e.device = "Unknown device";
    e.symbol = "exclamationmark.triangle";
    e.address = address;
    e.kind = Kind::wrongCode;
    e.started = Date::fromTimePoint(clock_.wallNow());
    e.ended = e.started;
    e.outcome = "Wrong access code";
    lastWrongCode_ = {e.id, now};
    add(std::move(e));
}

void SessionHistory::recordDeclined(const RemoteClient& client) {
    Entry e;
    e.id = Uuid::random();
    e.device = client.displayName();
    e.symbol = client.symbolName();
    e.address = client.address;
    e.route = routeLabel(client.connection->route());
    e.kind = Kind::declined;
    e.started = Date::fromTimePoint(clock_.wallNow());
    e.ended = e.started;
    e.outcome = "You declined";
    add(std::move(e));
}

void SessionHistory::recordConnected(const RemoteClient& client, bool unattended) {
    Entry e;
    e.id = client.id;
    e.device = client.displayName();
    e.symbol = client.symbolName();
    e.address = client.address;
    e.route = routeLabel(client.connection->route());
    e.kind = client.isScreenSharer() ? Kind::screenShare
             : client.isSupport      ? Kind::support
             : client.canControl()   ? Kind::control
                                     : Kind::viewOnly;
    e.started = client.connectedAt;
    e.outcome = "Connected";
    e.unattended = unattended;
    add(std::move(e));
}

void SessionHistory::recordEnded(const RemoteClient& client, const std::string& outcome) {
    auto list = entries_.get();
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const Entry& e) { return e.id == client.id && !e.ended; });
    if (it == list.end()) return;
    it->ended = Date::fromTimePoint(clock_.wallNow());
    it->outcome = outcome;
    entries_.set(std::move(list));
    save();
}

void SessionHistory::remove(const std::unordered_set<Uuid>& keeping) {
    auto list = entries_.get();
    std::erase_if(list, [&](const Entry& e) { return !keeping.contains(e.id); });
    entries_.set(std::move(list));
    save();
}

std::vector<SessionLogEntry> SessionHistory::logEntries() const {
    std::vector<SessionLogEntry> out;
    const auto& list = entries_.get();
    out.reserve(list.size());
    for (auto it = list.rbegin(); it != list.rend(); ++it)
        out.push_back({it->id, it->device, std::string(label(it->kind)), it->route, it->started,
                       it->ended, it->outcome, it->unattended.value_or(false)});
    return out;
}

}  // namespace orvane
