#include "OrvaneKit/records/Diagnostics.h"

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <utility>

#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/base/Paths.h"

namespace orvane {
namespace fs = std::filesystem;

namespace {

// Collisions need the same second and the same six digits; a handful of fresh tries is plenty.
constexpr int nameAttempts = 16;

std::string fileTime(WallTime t) {
    std::string s = Date::fromTimePoint(t).iso8601();
    std::replace(s.begin(), s.end(), ':', '-');
    return s;
}

bool writeAll(int fd, const std::string& data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string kernelVersion() {
    struct utsname u {};
    if (::uname(&u) != 0) return "?";
    return std::string(u.sysname) + " " + u.release;
}

}  // namespace

fs::path Diagnostics::standardFolder() {
    return Paths::applicationSupport() / "Orvane" / "Diagnostics";
}

fs::path Diagnostics::standardTempDir() {
    return Paths::temp();
}

Diagnostics::Diagnostics(Config config, MetricSource* source)
    : config_(std::move(config)), source_(source) {}

void Diagnostics::start() {
    if (std::exchange(started_, true)) return;
    std::error_code ec;
    fs::create_directories(config_.folder, ec);
    if (!source_) return;
    source_->subscribe([this](const std::vector<std::string>& payloads, std::string_view kind) {
        std::size_t written = write(payloads, kind);
        return written == payloads.size();
    });
}

void Diagnostics::finish() {
    if (source_) source_->finish();
}

void Diagnostics::save(const std::vector<std::string>& payloads, std::string_view kind) const {
    write(payloads, kind);
}

std::size_t Diagnostics::write(const std::vector<std::string>& payloads,
                               std::string_view kind) const {
    if (payloads.empty()) return 0;
    std::size_t written = 0;
    for (const auto& p : payloads)
        if (writeOne(p, kind)) ++written;
    // The count is what was handed in, so a full disk still shows how much arrived.
    log_.notice("saved {} {} payload(s)", payloads.size(), kind);
    return written;
}

bool Diagnostics::writeOne(const std::string& payload, std::string_view kind) const {
    const std::string time = fileTime(config_.clock->wallNow());
    for (int attempt = 0; attempt < nameAttempts; ++attempt) {
        std::string id = config_.makeUuid().string().substr(0, 6);
        fs::path path = config_.folder / (time + "-" + std::string(kind) + "-" + id + ".json");
        // Exclusive: a payload saved in the same second under the same digits stays intact.
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        bool ok = writeAll(fd, payload);
        ok = (::close(fd) == 0) && ok;
        // A torn file would read as a corrupt payload; better none.
        if (!ok) ::unlink(path.c_str());
        return ok;
    }
    return false;
}

std::vector<fs::path> Diagnostics::savedFiles() const {
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(config_.folder, ec), end; !ec && it != end; it.increment(ec))
        files.push_back(it->path());
    if (ec) return {};
    std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return a.filename().string() > b.filename().string();
    });
    return files;
}

std::optional<fs::path> Diagnostics::problemReport() const {
    const auto& app = config_.app;
    nlohmann::ordered_json report;
    report["app"] = app.identifier.value_or("?");
    report["version"] = app.shortVersion.value_or("?") + " (" + app.build.value_or("?") + ")";
    report["os"] = app.os.empty() ? kernelVersion() : app.os;
    report["date"] = Date::fromTimePoint(config_.clock->wallNow()).iso8601();
    report["reports"] = nlohmann::ordered_json::array();
    auto files = savedFiles();
    if (files.size() > reportLimit) files.resize(reportLimit);
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        if (!in) continue;
        auto parsed = nlohmann::ordered_json::parse(std::istreambuf_iterator<char>(in),
                                                    std::istreambuf_iterator<char>(), nullptr,
                                                    /*allow_exceptions=*/false);
        if (parsed.is_discarded()) continue;
        report["reports"].push_back(std::move(parsed));
    }
    std::string text;
    try {
        text = report.dump(2);
    } catch (const nlohmann::json::exception&) {
        // A value that has no JSON text (invalid UTF-8) fails the report, not the process.
        return std::nullopt;
    }
    text.push_back('\n');
    fs::path path = config_.tempDir / std::string(reportFileName);
    if (!writeFileAtomically(path, text.data(), text.size())) return std::nullopt;
    return path;
}

}  // namespace orvane
