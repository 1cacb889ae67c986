#include "OrvaneKit/crypto/testing/NodeOracle.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace orvane {

namespace {

std::string oracleDir() {
    return std::string(ORVANE_SOURCE_DIR) + "/tests/oracle";
}

bool nodeOnPath() {
    return std::system("node --version >/dev/null 2>&1") == 0;
}

void writeAll(int fd, const std::string& s) {
    std::size_t off = 0;
    while (off < s.size()) {
        const ssize_t n = ::write(fd, s.data() + off, s.size() - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("oracle: write failed (node exited?)");
        }
        off += static_cast<std::size_t>(n);
    }
}

}  // namespace

std::optional<std::string> NodeOracle::unavailableReason() {
    if (!nodeOnPath()) return "node is not installed";
    if (!std::filesystem::exists(oracleDir() + "/node_modules/@noble/post-quantum"))
        return "oracle packages are not installed: run `npm ci` in " + oracleDir() +
               " (scripts/install-deps.sh does)";
    return std::nullopt;
}

NodeOracle::NodeOracle() {
    // A dead child must surface as an exception, not kill the test binary.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("oracle: pipe failed");
    const std::string script = oracleDir() + "/oracle.mjs";
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("oracle: fork failed");
    if (pid_ == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::close(in[0]);
        ::close(in[1]);
        ::close(out[0]);
        ::close(out[1]);
        ::execlp("node", "node", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
}

NodeOracle::~NodeOracle() {
    if (toChild_ >= 0) ::close(toChild_);  // EOF ends the script
    if (fromChild_ >= 0) ::close(fromChild_);
    if (pid_ > 0) {
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

std::string NodeOracle::readLine() {
    while (true) {
        const auto nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        char chunk[65536];
        const ssize_t n = ::read(fromChild_, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("oracle: node exited without answering");
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

nlohmann::json NodeOracle::call(const std::string& op, nlohmann::json fields) {
    const long id = nextId_++;
    fields["op"] = op;
    fields["id"] = id;
    writeAll(toChild_, fields.dump() + "\n");
    auto answer = nlohmann::json::parse(readLine());
    if (answer.value("id", -1L) != id) throw std::runtime_error("oracle: answer out of order");
    if (!answer.value("ok", false))
        throw std::runtime_error("oracle: " + op +
                                 " failed: " + answer.value("error", std::string("?")));
    return answer;
}

Bytes NodeOracle::hexField(const nlohmann::json& answer, const char* name) {
    auto b = fromHex(answer.at(name).get<std::string>());
    if (!b) throw std::runtime_error(std::string("oracle: bad hex in ") + name);
    return *b;
}

}  // namespace orvane
