#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace orvane {

// Asks the person at the machine for files (several, no folders). Main actor only; `done` runs
// on the main actor with the chosen files, or with none when the person cancelled.
class FilePicker {
public:
    using Done = std::function<void(std::vector<std::filesystem::path> files)>;

    virtual ~FilePicker() = default;
    virtual void chooseFiles(const std::string& message, const std::string& button, Done done) = 0;
};

}  // namespace orvane
