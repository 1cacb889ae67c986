#pragma once

#include <vector>

#include "Orvane_Host/system/AlertPresenter.h"

namespace orvane {

// Like the headless host's presenter: no person is there, and any alert shown anyway is
// answered at once with its last button, so a test sees what a made-up answer would do.
class UnattendedAlerts final : public AlertPresenter {
public:
    AlertHandle show(AlertSpec spec, Callback done) override {
        shown_.push_back(spec);
        done(AlertResponse::firstButton + static_cast<int>(spec.buttons.size()) - 1);
        return {};
    }
    bool answeredByPerson() const override { return false; }
    const std::vector<AlertSpec>& shown() const { return shown_; }

private:
    std::vector<AlertSpec> shown_;
};

}  // namespace orvane
