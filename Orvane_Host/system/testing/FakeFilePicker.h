#pragma once

#include <optional>
#include <string>
#include <utility>

#include "Orvane_Host/system/FilePicker.h"

namespace orvane {

// Holds the question until the test answers it.
class FakeFilePicker final : public FilePicker {
public:
    void chooseFiles(const std::string& m, const std::string& b, Done d) override {
        message = m;
        button = b;
        done = std::move(d);
    }
    void answer(std::vector<std::filesystem::path> files) {
        auto d = std::move(done);
        done = nullptr;
        if (d) d(std::move(files));
    }

    std::string message, button;
    Done done;
};

}  // namespace orvane
