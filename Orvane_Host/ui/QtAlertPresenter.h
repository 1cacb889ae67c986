#pragma once

#include "OrvaneKit/base/MainActor.h"
#include "Orvane_Host/system/AlertPresenter.h"

namespace orvane {

// Alerts as top-level message boxes opened without a nested loop: show() returns at once, the
// host goes on, and several may be up together. Each answers exactly once: its button's
// response, or aborted when the handle ends it first.
class QtAlertPresenter final : public AlertPresenter {
public:
    explicit QtAlertPresenter(MainActor& mainActor) : mainActor_(mainActor) {}
    AlertHandle show(AlertSpec spec, Callback done) override;

private:
    MainActor& mainActor_;
};

}  // namespace orvane
