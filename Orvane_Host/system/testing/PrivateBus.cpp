#include "Orvane_Host/system/testing/PrivateBus.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

namespace orvane {

PrivateBus::PrivateBus(const std::filesystem::path& serviceDir) {
    static std::atomic<int> serial{0};
    config_ = std::filesystem::temp_directory_path() / ("orvane-bus-" + std::to_string(::getpid()) +
                                                        "-" + std::to_string(++serial) + ".conf");
    std::ofstream(config_)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
        << (serviceDir.empty() ? "" : "<servicedir>" + serviceDir.string() + "</servicedir>")
        << "<auth>EXTERNAL</auth><policy context=\"default\">"
           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
           "<allow own=\"*\"/></policy></busconfig>\n";
    std::string configArg = "--config-file=" + config_.string();
    int fds[2];
    if (::pipe(fds) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(fds[0]);
        std::string fd = "--print-address=" + std::to_string(fds[1]);
        ::execlp("dbus-daemon", "dbus-daemon", configArg.c_str(), "--nofork", "--nopidfile",
                 fd.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    char buf[512];
    std::string text;
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<std::size_t>(n));
        if (text.find('\n') != std::string::npos) break;
    }
    ::close(fds[0]);
    if (auto nl = text.find('\n'); nl != std::string::npos) address_ = text.substr(0, nl);
}

PrivateBus::~PrivateBus() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove(config_, ec);
}

}  // namespace orvane
