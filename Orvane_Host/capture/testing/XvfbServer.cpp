#include "Orvane_Host/capture/testing/XvfbServer.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace orvane {

XvfbServer::~XvfbServer() {
    kill();
}

bool XvfbServer::start(int width, int height, const std::vector<std::string>& extra) {
    kill();
    if (access("/usr/bin/Xvfb", X_OK) != 0) {
        error_ = "Xvfb is not installed";
        return false;
    }
    // Spread concurrent test processes over the number range; a taken number fails fast.
    int base = 200 + static_cast<int>(getpid() % 300);
    for (int attempt = 0; attempt < 40; ++attempt) {
        const int n = base + (attempt * 7) % 500;
        const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
        const std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
        struct stat st;
        if (stat(lock.c_str(), &st) == 0 || stat(sock.c_str(), &st) == 0) continue;
        const std::string name = ":" + std::to_string(n);
        const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        const pid_t pid = fork();
        if (pid < 0) break;
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // a crashed or aborted test leaves no server behind
            const int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 1);
            dup2(devnull, 2);
            std::vector<const char*> args = {"Xvfb",         name.c_str(), "-screen",   "0",
                                             screen.c_str(), "-noreset",   "-nolisten", "tcp"};
            for (const std::string& a : extra) args.push_back(a.c_str());
            args.push_back(nullptr);
            execv("/usr/bin/Xvfb", const_cast<char* const*>(args.data()));
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) break;  // lost the race for the number
            if (Display* dpy = XOpenDisplay(name.c_str())) {
                XCloseDisplay(dpy);
                pid_ = pid;
                display_ = name;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    error_ = "could not start Xvfb";
    return false;
}

void XvfbServer::kill() {
    if (pid_ <= 0) return;
    // SIGTERM lets the server remove its lock file and socket; clients see it vanish all the same.
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (waitpid(pid_, nullptr, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
}

}  // namespace orvane
