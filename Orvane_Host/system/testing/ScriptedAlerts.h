#pragma once

#include <deque>
#include <optional>
#include <vector>

#include "Orvane_Host/system/AlertPresenter.h"

namespace orvane {

// Alerts for tests. An answer queued with answerNext() ends the next alert at once (still
// through the callback); otherwise the alert stays open until respond() or its handle's abort.
class ScriptedAlerts final : public AlertPresenter {
public:
    AlertHandle show(AlertSpec spec, Callback done) override;

    void answerNext(int response) { queued_.push_back(response); }
    // Ends the oldest open alert; false when none is open.
    bool respond(int response);
    // Ends the newest open alert, as a stack of modal alerts is answered from the top.
    bool respondNewest(int response);

    const std::vector<AlertSpec>& shown() const { return shown_; }
    std::size_t openCount() const;

private:
    std::deque<int> queued_;
    std::vector<AlertSpec> shown_;
    std::vector<std::shared_ptr<Callback>> open_;
};

}  // namespace orvane
