#pragma once

#include <sys/types.h>

#include <string>

namespace orvane::testing {

// A private PulseAudio server with one null sink ("orvane_test", the default), in its own
// runtime folder. `ok()` is false (with `reason()`) when it cannot be started.
class PulseTestServer {
public:
    PulseTestServer();
    ~PulseTestServer();
    PulseTestServer(const PulseTestServer&) = delete;
    PulseTestServer& operator=(const PulseTestServer&) = delete;

    bool ok() const { return pid_ > 0; }
    const std::string& reason() const { return reason_; }
    // For PULSE_SERVER or a client's server argument, e.g. "unix:/tmp/x/native".
    std::string address() const { return "unix:" + dir_ + "/native"; }
    const std::string& dir() const { return dir_; }

private:
    pid_t pid_ = -1;
    std::string dir_;
    std::string reason_;
};

}  // namespace orvane::testing
