#include "tests/support/HostHome.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace orvane {

namespace fs = std::filesystem;

namespace {

fs::path freshDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "-" + info->name() : "host";
    auto dir =
        fs::temp_directory_path() / ("orvane-host-home-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::string match(const std::string& text, const std::string& pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : "";
}

// One shell word, whatever the text holds.
std::string shellWord(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

const std::string HostHome::hostBinary = ORVANE_BINARY_DIR "/Orvane_Host/app/orvane-host";
const std::string HostHome::peerBinary = ORVANE_BINARY_DIR "/tools/orvane-peer";

HostHome::HostHome()
    : dir_(freshDir()),
      settings_(dir_ / "config" / "orvane-host" / "defaults.json"),
      keychain_(dir_ / "data" / "orvane" / "keychain.json") {}

HostHome::~HostHome() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

fs::path HostHome::historyFile() const {
    return dir_ / "data" / "com.nimbrel.kelsap.host" / "SessionHistory.json";
}

fs::path HostHome::diagnosticsFolder() const {
    return dir_ / "data" / "Orvane" / "Diagnostics";
}

fs::path HostHome::logFile() const {
    return dir_ / "state" / "orvane-host" / "host.log";
}

HostHome::Running HostHome::start(const Options& options) {
    std::string d = dir_.string();
    // The shell prints the host's process id and then becomes the host, so dropping the
    // process ends the host itself. No session bus: notifications fail quietly.
    // The host posts viewers' input into its display and captures it: never one the test did
    // not choose.
    std::string display = options.display.empty() ? display_ : options.display;
    std::string limit;
    if (options.fileSizeLimit)
        limit = "trap '' XFSZ; ulimit -f " + std::to_string(options.fileSizeLimit / 512) + "; ";
    std::string cmd =
        "echo pid=$$; " + limit + "exec env -u DISPLAY HOME=" + shellWord(d) +
        " XDG_CONFIG_HOME=" + shellWord(d + "/config") +
        " XDG_DATA_HOME=" + shellWord(d + "/data") + " XDG_STATE_HOME=" + shellWord(d + "/state") +
        " DBUS_SESSION_BUS_ADDRESS=" + shellWord("unix:path=" + d + "/no-bus") + " PULSE_SERVER=" +
        shellWord(options.pulseServer.empty() ? "unix:" + d + "/no-pulse" : options.pulseServer);
    if (!display.empty()) cmd += " DISPLAY=" + shellWord(display);
    for (const auto& [name, value] : environment_) cmd += " " + name + "=" + shellWord(value);
    for (const auto& [name, value] : options.env) cmd += " " + name + "=" + shellWord(value);
    cmd += " " + shellWord(hostBinary) + " --port 0 --browser-port 0";
    if (!options.desktop) cmd += " --headless";
    for (const auto& arg : options.args) cmd += " " + shellWord(arg);
    const std::chrono::seconds timeout = options.timeout;
    Running r;
    r.process = std::make_unique<ChildProcess>(std::vector<std::string>{"/bin/sh", "-c", cmd});
    if (!r.process->waitForOutput("Connect to:", timeout)) return r;
    std::string out = r.process->output();
    r.pid = std::stoi(match(out, R"(pid=(\d+))"));
    r.accessCode = match(out, R"(Access code: ([A-Za-z0-9-]+))");
    std::string port = match(out, R"(Ready on port (\d+))");
    if (!port.empty()) r.port = static_cast<std::uint16_t>(std::stoul(port));
    return r;
}

bool HostHome::waitForBrowser(Running& host, std::chrono::seconds timeout) {
    if (!host.process || !host.process->waitForOutput("Browser access on ", timeout)) return false;
    // The whole line, so its port is complete.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string port;
    while (port.empty() && std::chrono::steady_clock::now() < end) {
        port = match(host.process->output(), R"(Browser access on \S+:(\d+)\n)");
        if (port.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (port.empty()) return false;
    host.browserPort = static_cast<std::uint16_t>(std::stoul(port));
    return true;
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace orvane
