#include "Orvane_Host/app/HeadlessAlertPresenter.h"

#include <memory>

namespace orvane {

AlertHandle HeadlessAlertPresenter::show(AlertSpec spec, Callback done) {
    ORVANE_ASSERT_MAIN_ACTOR(mainActor_);
    int response = spec.buttons.size() <= 1
                       ? AlertResponse::firstButton
                       : AlertResponse::firstButton + static_cast<int>(spec.buttons.size()) - 1;
    log_.notice("no one to answer \"{}\"; declined", spec.message);
    // Exactly one answer: the declining one, or aborted when the handle is used first.
    auto pending = std::make_shared<Callback>(std::move(done));
    mainActor_.post([pending, response] {
        if (*pending) std::exchange(*pending, nullptr)(response);
    });
    return AlertHandle([pending] {
        if (*pending) std::exchange(*pending, nullptr)(AlertResponse::aborted);
    });
}

}  // namespace orvane
