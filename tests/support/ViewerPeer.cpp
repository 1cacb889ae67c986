#include "tests/support/ViewerPeer.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/HostHome.h"

namespace orvane {

ViewerPeer::ViewerPeer(std::filesystem::path dir, std::string name)
    : dir_(std::move(dir)), name_(std::move(name)) {
    std::string file;
    for (char c : name_) file += std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
    keychain_ = dir_ / ("peer-" + file + ".json");
}

std::string ViewerPeer::fingerprint() const {
    auto [status, out] =
        ChildProcess::run({HostHome::peerBinary, "identity", "--keychain", keychain_.string()}, "",
                          std::chrono::seconds(20));
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (auto v = json::parse(std::string_view(line)); v && v->contains("fingerprint"))
            return (*v)["fingerprint"].get<std::string>();
    throw std::runtime_error("orvane-peer identity failed: " + out);
}

std::unique_ptr<ChildProcess> ViewerPeer::connect(std::uint16_t port, const std::string& code,
                                                  const std::string& script,
                                                  std::vector<std::string> extra) {
    auto file = keychain_;
    file.replace_extension("script-" + std::to_string(++scripts_) + ".txt");
    std::ofstream(file) << script;
    std::vector<std::string> argv = {
        HostHome::peerBinary, "connect",          "--host",   "127.0.0.1",  "--port",
        std::to_string(port), "--code",           code,       "--name",     name_,
        "--keychain",         keychain_.string(), "--script", file.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<ChildProcess>(argv);
}

std::vector<json::Value> ViewerPeer::messages(const std::string& output, const std::string& type) {
    std::vector<json::Value> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        auto v = json::parse(std::string_view(line));
        if (!v || !v->is_object() || v->value("event", "") != "message") continue;
        if (type.empty() || v->value("type", "") == type) found.push_back(std::move(*v));
    }
    return found;
}

bool ViewerPeer::waitForMessages(const ChildProcess& peer, const std::string& type,
                                 std::size_t count, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (messages(peer.output(), type).size() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace orvane
