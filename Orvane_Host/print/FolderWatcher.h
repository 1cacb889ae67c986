#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace orvane {

// A change to one entry of a watched folder.
struct FolderEvent {
    enum class Kind {
        created,             // a new entry; a file may still be being written
        closedAfterWriting,  // a file opened for writing was closed
        movedIn,             // renamed into the folder, complete
        movedOut,
        removed,
        overflow,  // events were lost; `name` is empty
    };
    std::string name;
    Kind kind = Kind::created;
};

// Reports changes to the entries of one folder (not of its subfolders) on the main actor.
class FolderWatcher {
public:
    virtual ~FolderWatcher() = default;
    // False when the folder cannot be watched; nothing is reported then.
    virtual bool watch(const std::filesystem::path& folder,
                       std::function<void(const FolderEvent&)> onEvent) = 0;
};

}  // namespace orvane
