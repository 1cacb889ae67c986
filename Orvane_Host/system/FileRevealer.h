#pragma once

#include <filesystem>

namespace orvane {

// Shows a file in the person's file manager, selected where the file manager can do that.
// Main actor; reports nothing.
class FileRevealer {
public:
    virtual ~FileRevealer() = default;
    virtual void reveal(const std::filesystem::path& file) = 0;
};

}  // namespace orvane
