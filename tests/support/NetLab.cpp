#include "tests/support/NetLab.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <stdexcept>

namespace orvane {

namespace fs = std::filesystem;

namespace {

constexpr const char* namePrefix = "orvlab";

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int runShell(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Kills what runs in a namespace, then removes it; its links and tables go with it.
void removeNamespace(const std::string& ns) {
    runShell("ip netns pids " + ns + " 2>/dev/null | xargs -r kill -9 2>/dev/null; ip netns del " +
             ns + " 2>/dev/null");
}

// Every live lab's namespaces and folders, for the exit and signal handlers.
std::mutex registryMutex;
std::set<std::string>& liveNamespaces() {
    static std::set<std::string> s;
    return s;
}
std::set<std::string>& liveFolders() {
    static std::set<std::string> s;
    return s;
}

void removeAll() {
    std::lock_guard lock(registryMutex);
    for (const auto& ns : liveNamespaces()) removeNamespace(ns);
    liveNamespaces().clear();
    std::error_code ignored;
    for (const auto& d : liveFolders()) fs::remove_all(d, ignored);
    liveFolders().clear();
}

void onSignal(int sig) {
    // Not async-signal-safe, but the process is ending and leaving namespaces behind is worse.
    removeAll();
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(removeAll);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGABRT, SIGSEGV, SIGBUS}) ::signal(sig, onSignal);
    });
}

// Namespaces of labs whose process is gone (killed outright).
void sweepLeftovers() {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/run/netns", ec)) {
        std::string name = e.path().filename();
        if (name.rfind(namePrefix, 0) != 0) continue;
        auto dash = name.find('-');
        if (dash == std::string::npos) continue;
        const std::size_t from = std::string_view(namePrefix).size();
        if (dash <= from) continue;
        pid_t pid = std::atoi(name.substr(from, dash - from).c_str());
        if (pid <= 0 || ::kill(pid, 0) == 0 || errno != ESRCH) continue;
        removeNamespace(name);
    }
}

bool onPath(const std::string& tool) {
    return runShell("command -v " + quoted(tool) + " >/dev/null 2>&1") == 0;
}

}  // namespace

std::optional<std::string> NetLab::unavailable(const std::vector<std::string>& tools) {
    if (::geteuid() != 0) return "network namespaces need root";
    std::vector<std::string> all = {"ip"};
    all.insert(all.end(), tools.begin(), tools.end());
    for (const auto& t : all)
        if (!onPath(t)) return t + " is not installed (scripts/install-deps.sh)";
    // Named like a lab's, so a probe left behind by a kill is swept too.
    std::string probe = namePrefix + std::to_string(::getpid()) + "-probe";
    if (runShell("ip netns add " + probe + " 2>/dev/null") != 0)
        return "cannot make network namespaces here";
    removeNamespace(probe);
    return std::nullopt;
}

NetLab::NetLab() {
    installHandlers();
    sweepLeftovers();
    static std::atomic<int> labs{0};
    prefix_ =
        std::string(namePrefix) + std::to_string(::getpid()) + "-" + std::to_string(labs++) + "-";
    dir_ = fs::temp_directory_path() / prefix_;
    fs::create_directories(dir_);
    std::lock_guard lock(registryMutex);
    liveFolders().insert(dir_.string());
}

NetLab::~NetLab() {
    std::lock_guard lock(registryMutex);
    for (const auto& ns : namespaces_) {
        removeNamespace(ns);
        liveNamespaces().erase(ns);
    }
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
    liveFolders().erase(dir_.string());
}

std::string NetLab::addNamespace(const std::string& shortName) {
    std::string ns = prefix_ + shortName;
    {
        std::lock_guard lock(registryMutex);
        liveNamespaces().insert(ns);
    }
    namespaces_.push_back(ns);
    sh("", "ip netns add " + ns);
    sh(ns, "ip link set lo up");
    return ns;
}

void NetLab::link(const std::string& a, const std::string& ifA, const std::string& b,
                  const std::string& ifB) {
    sh("", "ip link add " + ifA + " netns " + a + " type veth peer " + ifB + " netns " + b);
    sh(a, "ip link set " + ifA + " up");
    sh(b, "ip link set " + ifB + " up");
}

std::pair<int, std::string> NetLab::trySh(const std::string& ns, const std::string& command) {
    std::vector<std::string> argv = {"/bin/sh", "-c", command};
    if (!ns.empty()) argv.insert(argv.begin(), {"ip", "netns", "exec", ns});
    auto [status, out] = ChildProcess::run(argv, "", std::chrono::seconds(30));
    return {status.value_or(-1), out};
}

std::string NetLab::sh(const std::string& ns, const std::string& command) {
    auto [status, out] = trySh(ns, command);
    if (status != 0)
        throw std::runtime_error("in " + (ns.empty() ? std::string("the host") : ns) + ": " +
                                 command + " failed (" + std::to_string(status) + "): " + out);
    return out;
}

std::vector<std::string> stunOnlyCoturn(const std::string& address, std::uint16_t port) {
    return {"turnserver",     "-n",        "--stun-only",      "--no-cli",
            "--no-tls",       "--no-dtls", "--log-file",       "stdout",
            "--listening-ip", address,     "--listening-port", std::to_string(port)};
}

std::unique_ptr<ChildProcess> NetLab::spawn(const std::string& ns, std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"ip", "netns", "exec", ns});
    return std::make_unique<ChildProcess>(std::move(argv));
}

std::optional<std::string> NetLab::enter(const std::string& ns) {
    int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "namespace " + ns + " cannot be opened";
    int r = ::setns(fd, CLONE_NEWNET);
    ::close(fd);
    if (r != 0) return "namespace " + ns + " cannot be joined";
    return std::nullopt;
}

}  // namespace orvane
