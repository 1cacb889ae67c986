#include "Orvane_Host/system/canberra/CanberraSoundPlayer.h"

#include <canberra.h>

#include "OrvaneKit/base/Logger.h"

namespace orvane {

namespace {

const Logger& log() {
    static const Logger l{"com.nimbrel.kelsap.host", "sound"};
    return l;
}

}  // namespace

CanberraSoundPlayer::CanberraSoundPlayer(std::string alertEvent)
    : alertEvent_(std::move(alertEvent)), thread_([this] { run(); }) {}

CanberraSoundPlayer::~CanberraSoundPlayer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void CanberraSoundPlayer::playAlert() {
    {
        std::lock_guard lock(mutex_);
        ++pending_;
    }
    wake_.notify_one();
}

void CanberraSoundPlayer::run() {
    ca_context* context = nullptr;
    bool reported = false;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return pending_ > 0 || stopping_; });
            if (stopping_) break;
            --pending_;
        }
        // Made on first use, so a host that never plays never connects to the sound server.
        if (!context && ca_context_create(&context) == CA_SUCCESS)
            ca_context_change_props(context, CA_PROP_APPLICATION_NAME, "Orvane Host", nullptr);
        int rc = context ? ca_context_play(context, 0, CA_PROP_EVENT_ID, alertEvent_.c_str(),
                                           CA_PROP_EVENT_DESCRIPTION, "Requested alert", nullptr)
                         : CA_ERROR_NOTAVAILABLE;
        // A machine without the sound or without sound at all plays nothing; said once.
        if (rc != CA_SUCCESS && !reported) {
            log().notice("the alert sound cannot be played: {}", ca_strerror(rc));
            reported = true;
        }
    }
    // Destroying the context ends the player's sounds; the host only does so at exit.
    if (context) ca_context_destroy(context);
}

}  // namespace orvane
