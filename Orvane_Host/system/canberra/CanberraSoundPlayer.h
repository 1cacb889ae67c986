#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "Orvane_Host/system/SoundPlayer.h"

struct ca_context;

namespace orvane {

// Plays event sounds of the desktop's sound theme through libcanberra. Reaching the sound server
// can take a while, so plays are handed to a thread of its own and the caller goes on at once.
class CanberraSoundPlayer final : public SoundPlayer {
public:
    // `alertEvent`: the theme's event sound played as the alert.
    explicit CanberraSoundPlayer(std::string alertEvent = "complete");
    ~CanberraSoundPlayer() override;
    CanberraSoundPlayer(const CanberraSoundPlayer&) = delete;
    CanberraSoundPlayer& operator=(const CanberraSoundPlayer&) = delete;

    void playAlert() override;

private:
    void run();

    const std::string alertEvent_;
    std::mutex mutex_;
    std::condition_variable wake_;
    int pending_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace orvane
