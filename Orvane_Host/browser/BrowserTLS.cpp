#include "Orvane_Host/browser/BrowserTLS.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

#include "OrvaneKit/base/Base64.h"
#include "OrvaneKit/base/Paths.h"
#include "OrvaneKit/base/Uuid.h"

extern char** environ;

namespace orvane {

namespace fs = std::filesystem;

namespace {

std::optional<Bytes> readWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    Bytes out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return out;
}

// Creates the folder owner-only from the start; an existing one is kept as it is.
bool makePrivateFolder(const fs::path& dir) {
    std::error_code ec;
    if (dir.has_parent_path()) fs::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) == 0) return true;
    return errno == EEXIST && fs::is_directory(dir, ec);
}

}  // namespace

BrowserTLS::BrowserTLS(Environment env) : env_(std::move(env)) {
    if (env_.tempFolder.empty()) env_.tempFolder = Paths::temp();
}

fs::path BrowserTLS::standardIdentityFile() {
    return Paths::applicationSupport() / folderName / fileName;
}

std::string BrowserTLS::subjectSafeName(std::string_view name) {
    std::string out;
    // Every byte of a multi-byte character is 0x80 or above, so whole characters go.
    for (char c : name)
        if (static_cast<unsigned char>(c) < 128 && c != '/') out.push_back(c);
    return out;
}

std::string BrowserTLS::subjectArgument(std::string_view safeName) {
    std::string out = "/CN=Orvane Host (";
    for (char c : safeName) {
        if (c == '+' || c == '=' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out + ")";
}

std::shared_ptr<TlsCertContext> BrowserTLS::identity() {
    std::lock_guard lock(mutex_);
    if (cached_) return cached_;
    if ((cached_ = loadIdentity())) return cached_;
    if (!makeIdentity()) return nullptr;
    cached_ = loadIdentity();
    return cached_;
}

std::shared_ptr<TlsCertContext> BrowserTLS::loadIdentity() {
    auto bytes = readWhole(env_.identityFile);
    if (!bytes) return nullptr;
    auto passphrase = env_.settings.string(passphraseKey);
    if (!passphrase) return nullptr;
    return TlsCertContext::fromPkcs12(*bytes, *passphrase);
}

bool BrowserTLS::makeIdentity() {
    const fs::path work = env_.tempFolder / Uuid::random().string();
    auto cleanUp = [&] {
        std::error_code ec;
        fs::remove_all(work, ec);
    };
    if (!makePrivateFolder(work) || !makePrivateFolder(env_.identityFile.parent_path())) {
        cleanUp();
        return false;
    }
    const std::string passphrase = base64Encode(randomBytes(24, *env_.random));
    const std::string name = subjectSafeName(env_.machineName ? env_.machineName() : "Mac");
    const std::string key = (work / "key.pem").string();
    const std::string cert = (work / "cert.pem").string();
    const fs::path p12 = work / "identity.p12";

    bool made = runTool({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                         cert, "-days", "825", "-subj", subjectArgument(name), "-addext",
                         "extendedKeyUsage=serverAuth"});
    if (made)
        made = runTool(
            {"pkcs12", "-export", "-inkey", key, "-in", cert, "-out", p12.string(), "-passout",
             "fd:3", "-keypbe", "PBE-SHA1-3DES", "-certpbe", "PBE-SHA1-3DES", "-macalg", "sha1"},
            &passphrase);
    if (!made) {
        log_.error("could not make the browser certificate");
        cleanUp();
        return false;
    }
    auto bytes = readWhole(p12);
    // Written under a temporary name with mode 0600 and renamed over any old file.
    bool stored =
        bytes && writeFileAtomically(env_.identityFile, bytes->data(), bytes->size(), 0600);
    cleanUp();
    if (!stored) return false;
    env_.settings.setString(passphraseKey, passphrase);
    return true;
}

bool BrowserTLS::runTool(const std::vector<std::string>& args, const std::string* secret) const {
    std::vector<std::string> argv = {env_.tool};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (secret) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
        // Far below the pipe's buffer, so this never waits for the reader.
        std::string line = *secret + "\n";
        bool written =
            ::write(pipeFds[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
        ::close(pipeFds[1]);
        // Kept clear of descriptor 3 itself, whose close-on-exec a same-number dup2 would keep.
        int high = ::fcntl(pipeFds[0], F_DUPFD_CLOEXEC, 10);
        ::close(pipeFds[0]);
        pipeFds[0] = high;
        if (!written || high < 0) {
            if (high >= 0) ::close(high);
            return false;
        }
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (secret) posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 3);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, env_.tool.c_str(), &actions, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (secret) ::close(pipeFds[0]);
    if (rc != 0) return false;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace orvane
