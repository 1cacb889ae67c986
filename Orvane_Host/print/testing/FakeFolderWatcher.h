#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "Orvane_Host/print/FolderWatcher.h"

namespace orvane {

// Events only when the test fires them; the caller must be on the main actor.
class FakeFolderWatcher final : public FolderWatcher {
public:
    bool refuses = false;
    std::filesystem::path folder;

    bool watch(const std::filesystem::path& f,
               std::function<void(const FolderEvent&)> onEvent) override {
        if (refuses) return false;
        folder = f;
        onEvent_ = std::move(onEvent);
        return true;
    }
    bool watching() const { return static_cast<bool>(onEvent_); }
    void fire(FolderEvent::Kind kind, const std::string& name) {
        if (onEvent_) onEvent_({name, kind});
    }

private:
    std::function<void(const FolderEvent&)> onEvent_;
};

}  // namespace orvane
