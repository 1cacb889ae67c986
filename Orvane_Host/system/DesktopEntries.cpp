#include "Orvane_Host/system/DesktopEntries.h"

#include <unicode/unistr.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>

#include "OrvaneKit/base/Paths.h"

namespace orvane {

namespace fs = std::filesystem;

namespace {

// Large enough for any real entry; a bigger file is not one and is skipped unread.
constexpr std::uintmax_t maxEntryBytes = 1 << 20;

std::string folded(const std::string& text) {
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
    std::string out;
    u.foldCase().toUTF8String(out);
    return out;
}

std::string trimmed(const std::string& s) {
    auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    auto e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

// The escapes a string value may hold.
std::string unescaped(const std::string& v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out += v[i];
            continue;
        }
        switch (v[++i]) {
            case 's':
                out += ' ';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            default:
                out += v[i];
        }
    }
    return out;
}

struct Parsed {
    DesktopEntries::Entry entry;
    bool visible = false;
};

std::optional<Parsed> parse(const fs::path& file, const std::string& id) {
    std::error_code ec;
    if (fs::file_size(file, ec) > maxEntryBytes || ec) return std::nullopt;
    std::ifstream in(file);
    if (!in) return std::nullopt;
    Parsed p;
    p.entry.id = id;
    p.entry.file = file;
    bool inMain = false, application = false, hidden = false;
    std::string line;
    while (std::getline(in, line)) {
        line = trimmed(line);
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inMain = line == "[Desktop Entry]";
            continue;
        }
        if (!inMain) continue;
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = trimmed(line.substr(0, eq));
        std::string value = trimmed(line.substr(eq + 1));
        if (key == "Name")
            p.entry.name = unescaped(value);
        else if (key == "Type")
            application = value == "Application";
        else if (key == "StartupWMClass")
            p.entry.startupWMClass = unescaped(value);
        else if ((key == "NoDisplay" || key == "Hidden") && value == "true")
            hidden = true;
    }
    p.visible = application && !hidden && !p.entry.name.empty();
    return p;
}

}  // namespace

std::vector<fs::path> DesktopEntries::standardFolders() {
    std::vector<fs::path> out;
    out.push_back(Paths::applicationSupport() / "applications");
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    std::string list = dirs && *dirs ? dirs : "/usr/local/share:/usr/share";
    std::size_t start = 0;
    while (start <= list.size()) {
        auto end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        fs::path dir = list.substr(start, end - start);
        // Relative entries are not valid and would depend on the working directory.
        if (dir.is_absolute()) out.push_back(dir / "applications");
        start = end + 1;
    }
    return out;
}

DesktopEntries::DesktopEntries(std::vector<fs::path> folders) : folders_(std::move(folders)) {}

std::vector<DesktopEntries::Entry> DesktopEntries::list() const {
    std::vector<Entry> out;
    std::set<std::string> seen;
    for (const auto& folder : folders_) {
        std::error_code ec;
        std::vector<std::pair<std::string, fs::path>> files;
        for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end;
             it.increment(ec)) {
            const auto& path = it->path();
            if (path.extension() != ".desktop" || !it->is_regular_file(ec)) continue;
            std::string id = path.lexically_relative(folder).string();
            std::replace(id.begin(), id.end(), '/', '-');
            files.emplace_back(std::move(id), path);
        }
        // Listing order is the file system's; sorting keeps the choice among equals stable.
        std::sort(files.begin(), files.end());
        for (const auto& [id, path] : files) {
            if (!seen.insert(id).second) continue;
            auto parsed = parse(path, id);
            if (parsed && parsed->visible) out.push_back(std::move(parsed->entry));
        }
    }
    return out;
}

std::optional<DesktopEntries::Entry> DesktopEntries::find(const std::string& name) const {
    if (name.empty()) return std::nullopt;
    auto entries = list();
    const std::string wanted = folded(name);
    for (const auto& e : entries)
        if (folded(e.name) == wanted) return e;
    for (const auto& e : entries)
        if (folded(e.id) == wanted + ".desktop") return e;
    return std::nullopt;
}

std::optional<DesktopEntries::Entry> DesktopEntries::findByWindowClass(
    const std::string& windowClass) const {
    if (windowClass.empty()) return std::nullopt;
    auto entries = list();
    for (const auto& e : entries)
        if (e.startupWMClass == windowClass) return e;
    const std::string wanted = folded(windowClass) + ".desktop";
    for (const auto& e : entries)
        if (folded(e.id) == wanted) return e;
    return std::nullopt;
}

}  // namespace orvane
