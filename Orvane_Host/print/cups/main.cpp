// orvane: the print queue's backend. The print system runs it as root (its mode is 0700) with
//
//   orvane JOB USER TITLE COPIES OPTIONS [FILE]      (the PDF on standard input without FILE)
//
// and without arguments to list the device it offers. It becomes USER before touching
// anything of theirs, copies the PDF into a private temporary file and runs USER's
// "Print with Orvane" script with the title, the options and that file, which puts it into the
// inbox the host watches. A job that cannot be delivered is cancelled; the queue goes on.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The print system's answers: cancel drops this job and keeps the queue printing.
constexpr int done = 0;
constexpr int failed = 1;
constexpr int cancelJob = 5;

constexpr std::size_t longestTitle = 200;  // bytes; leaves room in a file name for ".pdf"
constexpr const char* scriptPath = "/.local/share/orvane-host/PDF Services/Print with Orvane";

int cancel(const std::string& why) {
    std::fprintf(stderr, "ERROR: %s\n", why.c_str());
    return cancelJob;
}

std::string errorText(int error) {
    return std::strerror(error);
}

// Control characters would end up in a file name; a title longer than a file name allows
// would make the copy fail.
std::string cleanTitle(std::string title) {
    for (char& ch : title)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = ' ';
    if (title.size() <= longestTitle) return title;
    std::size_t cut = longestTitle;
    // Never half a character: back up over continuation bytes to the start of the one cut.
    while (cut > 0 && (static_cast<unsigned char>(title[cut]) & 0xC0) == 0x80) --cut;
    return title.substr(0, cut);
}

// Becomes the user for good, and checks that there is no way back.
bool becomeUser(const passwd& user) {
    if (::geteuid() != 0) return ::getuid() == user.pw_uid && ::geteuid() == user.pw_uid;
    if (::initgroups(user.pw_name, user.pw_gid) != 0) return false;
    if (::setgid(user.pw_gid) != 0 || ::setuid(user.pw_uid) != 0) return false;
    if (::getuid() != user.pw_uid || ::geteuid() != user.pw_uid || ::getgid() != user.pw_gid ||
        ::getegid() != user.pw_gid)
        return false;
    return user.pw_uid == 0 || (::setuid(0) != 0 && ::seteuid(0) != 0);
}

bool copyAll(int from, int to) {
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        for (ssize_t at = 0; at < n;) {
            ssize_t w = ::write(to, buffer.data() + at, static_cast<std::size_t>(n - at));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return false;
            at += w;
        }
    }
}

// The script with its arguments and nothing of this process's environment; no shell between.
int runScript(const std::string& script, const passwd& user, const std::string& title,
              const std::string& options, const std::string& file) {
    std::string home = std::string("HOME=") + user.pw_dir;
    std::string name = std::string("USER=") + user.pw_name;
    std::string path = "PATH=/usr/bin:/bin";
    char* env[] = {home.data(), name.data(), path.data(), nullptr};
    std::string arg0 = script, arg1 = title, arg2 = options, arg3 = file;
    char* argv[] = {arg0.data(), arg1.data(), arg2.data(), arg3.data(), nullptr};
    pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
        // Whatever the script says goes to the print system's log as plain lines.
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        if (::chdir(user.pw_dir) != 0) (void)::chdir("/");
        ::execve(argv[0], argv, env);
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) {
        std::printf("direct orvane:/ \"Orvane\" \"Print with Orvane\"\n");
        return done;
    }
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
        return failed;
    }
    const std::string userName = argv[2];
    const std::string title = cleanTitle(argv[3]);
    const std::string options = argv[5];

    // The job's file belongs to the print system: opened before letting go of its rights.
    int job = STDIN_FILENO;
    if (argc == 7) {
        job = ::open(argv[6], O_RDONLY | O_CLOEXEC);
        if (job < 0) return cancel("Cannot read the print job: " + errorText(errno));
    }

    errno = 0;
    passwd* found = ::getpwnam(userName.c_str());
    if (!found) return cancel("There is no user " + userName + " on this computer to print for.");
    // Copies, as getpwnam's buffer may be reused.
    std::string pwName = found->pw_name, pwDir = found->pw_dir;
    passwd user = *found;
    user.pw_name = pwName.data();
    user.pw_dir = pwDir.data();
    const bool asRoot = ::geteuid() == 0;
    if (!becomeUser(user)) {
        if (!asRoot)
            return cancel(
                "The orvane backend did not run as root; install it again with "
                "scripts/install-print-queue.sh (it needs mode 0700).");
        return cancel("Cannot print as " + userName + ".");
    }
    ::umask(077);

    const std::string script = pwDir + scriptPath;
    if (::access(script.c_str(), X_OK) != 0)
        return cancel("Orvane Host has not set up printing for " + userName +
                      ": start Orvane Host, then print again.");

    const char* tmp = "/tmp/orvane-print-XXXXXX";
    std::string folder = tmp;
    if (!::mkdtemp(folder.data()))
        return cancel("Cannot make a temporary folder: " + errorText(errno));
    const std::string copy = folder + "/document.pdf";
    int out = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool copied = out >= 0 && copyAll(job, out);
    int copyError = errno;
    if (out >= 0 && ::close(out) != 0) copied = false;
    if (job != STDIN_FILENO) ::close(job);

    int status = copied ? runScript(script, user, title, options, copy) : -1;
    ::unlink(copy.c_str());
    ::rmdir(folder.c_str());
    if (!copied) return cancel("Cannot copy the print job: " + errorText(copyError));
    if (status == -1) return cancel("Cannot run the Print with Orvane script.");
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return done;
    if (WIFEXITED(status))
        return cancel("The Print with Orvane script failed with status " +
                      std::to_string(WEXITSTATUS(status)) + ".");
    return cancel("The Print with Orvane script was ended by signal " +
                  std::to_string(WTERMSIG(status)) + ".");
}
