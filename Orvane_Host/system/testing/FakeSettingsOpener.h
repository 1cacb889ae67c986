#pragma once

#include <vector>

#include "Orvane_Host/system/SettingsOpener.h"

namespace orvane {

class FakeSettingsOpener final : public SettingsOpener {
public:
    void open(Page page) override { opened.push_back(page); }
    std::vector<Page> opened;
};

}  // namespace orvane
