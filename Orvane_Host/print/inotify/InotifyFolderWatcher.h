#pragma once

#include <memory>

#include "OrvaneKit/base/MainActor.h"
#include "Orvane_Host/print/FolderWatcher.h"

namespace orvane {

// inotify on one folder, read on the main actor. Destroy it on the main actor.
class InotifyFolderWatcher final : public FolderWatcher {
public:
    explicit InotifyFolderWatcher(MainActor& mainActor) : mainActor_(mainActor) {}
    ~InotifyFolderWatcher() override;
    bool watch(const std::filesystem::path& folder,
               std::function<void(const FolderEvent&)> onEvent) override;

    struct Reader;

private:
    MainActor& mainActor_;
    std::shared_ptr<Reader> reader_;
};

}  // namespace orvane
