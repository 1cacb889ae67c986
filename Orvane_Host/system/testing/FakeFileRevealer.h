#pragma once

#include <filesystem>
#include <vector>

#include "Orvane_Host/system/FileRevealer.h"

namespace orvane {

class FakeFileRevealer final : public FileRevealer {
public:
    void reveal(const std::filesystem::path& file) override { revealed.push_back(file); }
    std::vector<std::filesystem::path> revealed;
};

}  // namespace orvane
