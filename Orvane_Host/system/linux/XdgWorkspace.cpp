#include "Orvane_Host/system/linux/XdgWorkspace.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "OrvaneKit/base/Logger.h"

extern char** environ;

namespace orvane {

namespace {
const Logger& log() {
    static const Logger l{"com.nimbrel.kelsap.host", "ui"};
    return l;
}
}  // namespace

bool XdgWorkspace::openURL(const std::string& url) {
    if (url.empty() || url.front() == '-') {
        log().error("not opening \"{}\": not an address", url);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::string program = program_, address = url;
    char* argv[] = {program.data(), address.data(), nullptr};
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        log().error("cannot open \"{}\": {} did not start ({})", url, program_, std::strerror(rc));
        return false;
    }
    // The opener may wait for the browser; nobody waits for it, but it must not stay a zombie.
    std::thread([pid, url, program = program_] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            log().error("{} could not open \"{}\" (status {})", program, url, status);
    }).detach();
    return true;
}

}  // namespace orvane
