#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneKit/base/Clock.h"
#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/Uuid.h"

namespace orvane {

// Where payloads come from: the platform's crash and resource reports. Deliveries may come on
// any thread. A delivery answers whether every payload was kept, so a source can hold on to
// what was not (a crash marker stays for the next start) instead of losing it.
class MetricSource {
public:
    using Deliver =
        std::function<bool(const std::vector<std::string>& payloads, std::string_view kind)>;
    virtual ~MetricSource() = default;
    // Past payloads are delivered before this returns; later ones as they come.
    virtual void subscribe(Deliver deliver) = 0;
    // The process is ending normally: the last payloads, such as its resource figures.
    virtual void finish() {}
};

// Keeps every payload as its own JSON file and bundles the newest into a problem report.
class Diagnostics {
public:
    struct AppInfo {
        std::optional<std::string> identifier;
        std::optional<std::string> shortVersion;
        std::optional<std::string> build;
        std::string os;  // empty: the kernel's name and release
    };
    struct Config {
        std::filesystem::path folder = standardFolder();
        std::filesystem::path tempDir = standardTempDir();
        AppInfo app;
        const Clock* clock = &SystemClock::shared();
        std::function<Uuid()> makeUuid = &Uuid::random;
    };

    static constexpr std::string_view diagnosticKind = "diagnostic";
    static constexpr std::string_view metricsKind = "metrics";
    static constexpr std::string_view reportFileName = "Orvane Problem Report.json";
    static constexpr std::size_t reportLimit = 10;

    // "Orvane/Diagnostics" in the user's data directory.
    static std::filesystem::path standardFolder();
    static std::filesystem::path standardTempDir();

    explicit Diagnostics(Config config, MetricSource* source = nullptr);

    // Makes the folder and subscribes to the source, which hands over what it kept from earlier
    // runs. Called once, at launch; later calls do nothing.
    void start();
    // At a normal exit: lets the source deliver its last payloads.
    void finish();

    // One file per payload, never replacing another; failures are silent.
    void save(const std::vector<std::string>& payloads, std::string_view kind) const;
    // Every entry of the folder, newest first (by name); empty when it cannot be read.
    std::vector<std::filesystem::path> savedFiles() const;
    // Writes the report into the temporary directory; nothing when it could not be written.
    std::optional<std::filesystem::path> problemReport() const;

private:
    std::size_t write(const std::vector<std::string>& payloads, std::string_view kind) const;
    bool writeOne(const std::string& payload, std::string_view kind) const;

    Config config_;
    MetricSource* source_;
    bool started_ = false;
    const Logger log_{"com.nimbrel.kelsap", "diagnostics"};
};

}  // namespace orvane
