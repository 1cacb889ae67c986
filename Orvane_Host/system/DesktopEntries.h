#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

// The applications the desktop offers, read from the desktop entries ("*.desktop") of the XDG
// data folders. Only files found by listing those folders are ever returned: a name is compared
// with what is there, never turned into a path.
class DesktopEntries {
public:
    struct Entry {
        std::string id;  // the file id: its path under the folder, "/" as "-", ".desktop" kept
        std::filesystem::path file;
        std::string name;
        std::string startupWMClass;
        bool operator==(const Entry&) const = default;
    };

    // $XDG_DATA_HOME/applications, then each $XDG_DATA_DIRS entry's, earlier first.
    static std::vector<std::filesystem::path> standardFolders();

    explicit DesktopEntries(std::vector<std::filesystem::path> folders = standardFolders());

    // The application called `name`: its Name in any letter case, else its file id without
    // ".desktop". Entries that are hidden, kept out of menus or not applications are never found,
    // and an earlier folder's file hides a later one with the same id.
    std::optional<Entry> find(const std::string& name) const;
    // The application whose windows carry this class: by StartupWMClass, else by file id.
    std::optional<Entry> findByWindowClass(const std::string& windowClass) const;

    // The visible entries, each id once, in folder order.
    std::vector<Entry> list() const;

private:
    std::vector<std::filesystem::path> folders_;
};

}  // namespace orvane
