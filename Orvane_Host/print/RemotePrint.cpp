#include "Orvane_Host/print/RemotePrint.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "OrvaneKit/base/Paths.h"
#include "OrvaneKit/base/Uuid.h"

namespace orvane {

namespace fs = std::filesystem;

namespace {

// Inside double quotes the shell still gives these four a meaning.
std::string quotedForShell(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '"' || ch == '$' || ch == '`' || ch == '\\') out += '\\';
        out += ch;
    }
    return out;
}

bool isPdf(const fs::path& name) {
    std::string ext = name.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return ext == ".pdf";
}

}  // namespace

fs::path RemotePrint::standardInbox() {
    return Paths::applicationSupport() / "Orvane" / "Print";
}

fs::path RemotePrint::scriptIn(const fs::path& home) {
    return home / ".local/share/orvane-host/PDF Services/Print with Orvane";
}

fs::path RemotePrint::standardScript() {
    return scriptIn(Paths::home());
}

std::string RemotePrint::scriptText(const fs::path& inbox) {
    return "#!/bin/sh\n"
           "# Installed by Orvane Host: sends this document to your iPhone or iPad to print.\n"
           "name=$(printf '%s' \"$1\" | tr '/:' '--')\n"
           "[ -z \"$name\" ] && name=\"Document\"\n"
           "cp \"$3\" \"" +
           quotedForShell(inbox.string()) + "/$name.pdf\"";
}

std::shared_ptr<RemotePrint> RemotePrint::make(Config config) {
    return std::shared_ptr<RemotePrint>(new RemotePrint(std::move(config)));
}

void RemotePrint::start() {
    ORVANE_ASSERT_MAIN_ACTOR(c_.mainActor);
    std::error_code ec;
    fs::create_directories(c_.inbox, ec);
    // Documents claimed by a run that ended before sending them.
    fs::remove_all(c_.inbox / sendingFolder, ec);
    // Printed while the host was not running: finished, unless a copy is still going on, which
    // the size check catches. They go with the next scan, as later ones do.
    noted({"", FolderEvent::Kind::overflow});
    installScript();
    startWatching();
}

void RemotePrint::installScript() {
    std::string text = scriptText(c_.inbox);
    std::error_code ec;
    fs::create_directories(c_.script.parent_path(), ec);
    if (!ec && !writeFileAtomically(c_.script, text.data(), text.size(), 0755))
        ec.assign(errno, std::generic_category());
    // The mode asked for, whatever the umask took away.
    if (!ec)
        fs::permissions(c_.script, static_cast<fs::perms>(0755), fs::perm_options::replace, ec);
    if (ec) log.error("couldn't install PDF service: {}", ec.message());
}

void RemotePrint::startWatching() {
    std::weak_ptr<RemotePrint> weak = weak_from_this();
    c_.watcher.watch(c_.inbox, [weak](const FolderEvent& event) {
        auto self = weak.lock();
        if (!self) return;
        ++self->events_;
        self->noted(event);
        self->scheduleScan(self->events_);
    });
}

std::optional<RemotePrint::Written> RemotePrint::writtenNow(const fs::path& file) {
    std::error_code ec;
    // Only plain files: a link could hand over whatever it points at.
    if (!fs::is_regular_file(fs::symlink_status(file, ec)) || ec) return std::nullopt;
    Written w{fs::file_size(file, ec), {}};
    if (ec) return std::nullopt;
    w.modified = fs::last_write_time(file, ec);
    if (ec) return std::nullopt;
    return w;
}

void RemotePrint::noted(const FolderEvent& event) {
    using Kind = FolderEvent::Kind;
    auto note = [this](const std::string& name) {
        if (auto written = writtenNow(c_.inbox / name)) finished_[name] = {*written, events_};
    };
    switch (event.kind) {
        case Kind::closedAfterWriting:
        case Kind::movedIn:
            note(event.name);
            break;
        case Kind::created:
        case Kind::movedOut:
        case Kind::removed:
            finished_.erase(event.name);
            break;
        case Kind::overflow: {
            // What was lost is unknown: whatever is there now goes once its size holds still.
            std::error_code ec;
            for (fs::directory_iterator it(c_.inbox, ec), end; !ec && it != end; it.increment(ec))
                note(it->path().filename().string());
            break;
        }
    }
}

void RemotePrint::scheduleScan(std::uint64_t event) {
    std::weak_ptr<RemotePrint> weak = weak_from_this();
    c_.timers.after(scanDelay, c_.mainActor.executor(), [weak, event] {
        if (auto self = weak.lock()) self->scan(event);
    });
}

fs::path RemotePrint::claim(const fs::path& file) {
    std::error_code ec;
    fs::path folder = c_.inbox / sendingFolder / Uuid::random().string();
    fs::create_directories(folder, ec);
    fs::path claimed = folder / file.filename();
    if (!ec) fs::rename(file, claimed, ec);
    if (ec) {
        fs::remove(folder, ec);
        return {};
    }
    return claimed;
}

void RemotePrint::scan(std::uint64_t upToEvent) {
    ORVANE_ASSERT_MAIN_ACTOR(c_.mainActor);
    std::error_code ec;
    // A claim folder is empty once its document was handed over and removed.
    for (fs::directory_iterator it(c_.inbox / sendingFolder, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code notEmpty;
        fs::remove(it->path(), notEmpty);
    }

    std::vector<fs::path> entries;
    ec.clear();
    for (fs::directory_iterator it(c_.inbox, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    if (ec) entries.clear();

    // Whatever is not handed over now waits for its next close.
    std::map<std::string, Noted> waiting;
    for (const auto& entry : entries) {
        std::string name = entry.filename().string();
        auto seen = finished_.find(name);
        if (seen == finished_.end() || !isPdf(entry)) continue;
        // Closed since this scan's event: its own scan, the full delay later, decides.
        if (seen->second.event > upToEvent) {
            waiting.insert(*seen);
            continue;
        }
        // Written to again since its close: that writer's own close brings it back.
        if (writtenNow(entry) != seen->second.written) continue;
        fs::path claimed = claim(entry);
        if (claimed.empty()) {
            waiting.insert(*seen);
            continue;
        }
        log.notice("print job: {}", name);
        if (onDocument) onDocument(claimed);
    }
    finished_ = std::move(waiting);
}

}  // namespace orvane
