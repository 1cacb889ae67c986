#pragma once

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/MainActor.h"
#include "Orvane_Host/system/AlertPresenter.h"

namespace orvane {

// Without a desktop interface nobody can answer an alert, so every alert is declined (its last
// button) and logged. A session then needs a trusted device with unattended access, or asking
// before connecting turned off.
class HeadlessAlertPresenter final : public AlertPresenter {
public:
    explicit HeadlessAlertPresenter(MainActor& mainActor) : mainActor_(mainActor) {}
    AlertHandle show(AlertSpec spec, Callback done) override;
    bool answeredByPerson() const override { return false; }

private:
    MainActor& mainActor_;
    const Logger log_{"com.nimbrel.kelsap.host", "ui"};
};

}  // namespace orvane
