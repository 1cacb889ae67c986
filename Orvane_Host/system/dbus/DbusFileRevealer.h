#pragma once

#include <optional>
#include <string>

#include "Orvane_Host/system/FileRevealer.h"
#include "Orvane_Host/system/Workspace.h"

struct sd_bus;

namespace orvane {

// Asks the desktop's file manager over the session bus (org.freedesktop.FileManager1.ShowItems)
// to show the file selected, without waiting for it; where no file manager answers that name,
// opens the file's folder instead.
class DbusFileRevealer final : public FileRevealer {
public:
    // The session bus of the environment, or a given address.
    explicit DbusFileRevealer(Workspace& fallback, std::optional<std::string> busAddress = {})
        : fallback_(fallback), address_(std::move(busAddress)) {}
    ~DbusFileRevealer() override;
    DbusFileRevealer(const DbusFileRevealer&) = delete;
    DbusFileRevealer& operator=(const DbusFileRevealer&) = delete;
    void reveal(const std::filesystem::path& file) override;

    // "file://" and the path, each byte outside the unreserved set and "/" percent-encoded.
    static std::string fileURL(const std::filesystem::path& path);

private:
    Workspace& fallback_;
    std::optional<std::string> address_;
    sd_bus* bus_ = nullptr;
};

}  // namespace orvane
