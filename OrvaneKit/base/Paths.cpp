#include "OrvaneKit/base/Paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

namespace orvane {
namespace fs = std::filesystem;

namespace {
fs::path envDir(const char* name, const fs::path& fallback) {
    const char* v = std::getenv(name);
    if (v && *v == '/') return fs::path(v);
    return fallback;
}
}  // namespace

namespace Paths {
fs::path home() {
    if (const char* h = std::getenv("HOME"); h && *h) return fs::path(h);
    if (auto* pw = getpwuid(getuid()); pw && pw->pw_dir) return fs::path(pw->pw_dir);
    return fs::path("/");
}
fs::path applicationSupport() {
    return envDir("XDG_DATA_HOME", home() / ".local/share");
}
fs::path config() {
    return envDir("XDG_CONFIG_HOME", home() / ".config");
}
fs::path state() {
    return envDir("XDG_STATE_HOME", home() / ".local/state");
}
fs::path temp() {
    return envDir("TMPDIR", fs::path("/tmp"));
}

fs::path downloads() {
    std::ifstream in(config() / "user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = "XDG_DOWNLOAD_DIR=";
        if (line.rfind(key, 0) != 0) continue;
        std::string v = line.substr(key.size());
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        if (v.rfind("$HOME", 0) == 0) return home() / v.substr(v.size() > 5 && v[5] == '/' ? 6 : 5);
        if (!v.empty() && v.front() == '/') return fs::path(v);
    }
    return home() / "Downloads";
}
}  // namespace Paths

bool writeFileAtomically(const fs::path& path, const void* data, std::size_t size, unsigned mode) {
    std::error_code ec;
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    std::random_device rd;
    fs::path tmp = path;
    tmp += ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(rd());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) return false;
    const char* p = static_cast<const char*>(data);
    std::size_t left = size;
    bool ok = true;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    // Make the rename itself durable.
    if (int dir = ::open(path.has_parent_path() ? path.parent_path().c_str() : ".",
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace orvane
