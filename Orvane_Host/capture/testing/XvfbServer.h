#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace orvane {

// A private X server for one test or benchmark, so that parallel runs never paint over each
// other. Runs with -noreset: otherwise the server resets whenever its last client leaves.
class XvfbServer {
public:
    XvfbServer() = default;
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // Starts "Xvfb :N -screen 0 WxHx24" on a free N and waits until it accepts clients. False
    // (with `error()` saying why) when it cannot. `extra` goes on the command line, e.g.
    // {"-extension", "DAMAGE"} for a server without damage reports.
    bool start(int width = 1920, int height = 1080, const std::vector<std::string>& extra = {});
    // Kills the server at once, as a crash or logout would.
    void kill();

    const std::string& display() const { return display_; }
    pid_t pid() const { return pid_; }  // for benchmarks that count the server's CPU
    const std::string& error() const { return error_; }

private:
    pid_t pid_ = -1;
    std::string display_;
    std::string error_;
};

}  // namespace orvane
