#include "Orvane_Host/capture/testing/PulseTestServer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace orvane::testing {

PulseTestServer::PulseTestServer() {
    char tmpl[] = "/tmp/orvane-pulse-XXXXXX";
    if (!mkdtemp(tmpl)) {
        reason_ = "cannot make a runtime folder";
        return;
    }
    dir_ = tmpl;
    if (std::system("command -v pulseaudio >/dev/null 2>&1") != 0) {
        reason_ = "pulseaudio is not installed";
        return;
    }
    std::string socket = "module-native-protocol-unix auth-anonymous=1 socket=" + dir_ + "/native";
    std::string log = dir_ + "/server.log";
    pid_t pid = fork();
    if (pid == 0) {
        setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
        setenv("HOME", dir_.c_str(), 1);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execlp("pulseaudio", "pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1",
               "--use-pid-file=no", "--disable-shm=yes", "--log-target=stderr", "-L",
               "module-null-sink sink_name=orvane_test rate=48000", "-L", socket.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        reason_ = "cannot fork";
        return;
    }
    pid_ = pid;
    // The socket appears once the server accepts clients.
    for (int i = 0; i < 100; ++i) {
        if (std::filesystem::exists(dir_ + "/native")) return;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            reason_ = "pulseaudio exited at start (see " + log + ")";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    reason_ = "pulseaudio did not open its socket";
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

PulseTestServer::~PulseTestServer() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty() && pid_ > 0) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

}  // namespace orvane::testing
