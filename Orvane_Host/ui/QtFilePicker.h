#pragma once

#include "Orvane_Host/system/FilePicker.h"

namespace orvane {

// The desktop's open dialog, opened without a nested loop.
class QtFilePicker final : public FilePicker {
public:
    void chooseFiles(const std::string& message, const std::string& button, Done done) override;
};

}  // namespace orvane
