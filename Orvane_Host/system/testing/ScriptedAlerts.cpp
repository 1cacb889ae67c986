#include "Orvane_Host/system/testing/ScriptedAlerts.h"

#include <algorithm>

namespace orvane {

AlertHandle ScriptedAlerts::show(AlertSpec spec, Callback done) {
    shown_.push_back(std::move(spec));
    auto cb = std::make_shared<Callback>(std::move(done));
    if (!queued_.empty()) {
        int r = queued_.front();
        queued_.pop_front();
        (*cb)(r);
        return AlertHandle([] {});
    }
    open_.push_back(cb);
    return AlertHandle([this, weak = std::weak_ptr<Callback>(cb)] {
        auto c = weak.lock();
        if (!c) return;
        auto it = std::find(open_.begin(), open_.end(), c);
        if (it == open_.end()) return;
        open_.erase(it);
        (*c)(AlertResponse::aborted);
    });
}

bool ScriptedAlerts::respond(int response) {
    if (open_.empty()) return false;
    auto c = open_.front();
    open_.erase(open_.begin());
    (*c)(response);
    return true;
}

bool ScriptedAlerts::respondNewest(int response) {
    if (open_.empty()) return false;
    auto c = open_.back();
    open_.pop_back();
    (*c)(response);
    return true;
}

std::size_t ScriptedAlerts::openCount() const {
    return open_.size();
}

}  // namespace orvane
