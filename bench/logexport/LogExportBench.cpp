// Exporting a full rotated host log (two files of 8 MB) against jq making the same lines from
// the same files. CPU time of this thread against the child's; the outputs must match.
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>

#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/ui/settings/SettingsText.h"

namespace fs = std::filesystem;
using namespace orvane;

namespace {

double threadCpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

double childrenCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
           u.ru_stime.tv_usec / 1e6;
}

// One rotated file: records spread over the last two days, a tenth from other subsystems.
void fill(const fs::path& file, double from, double to, std::mt19937& random) {
    std::ofstream out(file);
    const char* categories[] = {"net", "browser", "cloud", "update", "capture"};
    std::uniform_int_distribution<int> pick(0, 9);
    std::size_t size = 0;
    const std::size_t target = 8 * 1024 * 1024;
    std::size_t n = 0;
    const std::size_t estimate = target / 150;
    while (size < target) {
        double t = from + (to - from) * double(n++) / double(estimate);
        bool ours = pick(random) != 0;
        LogRecord r{Date::fromUnix(t).timePoint(),
                    ours ? settings::hostSubsystem : "com.other.framework",
                    categories[pick(random) % 5], LogLevel::info,
                    "viewer 3F2A admitted from 192.168.1." + std::to_string(pick(random)) +
                        " after \"approval\""};
        auto line = logRecordJson(r) + "\n";
        out << line;
        size += line.size();
    }
}

}  // namespace

int main() {
    auto dir = fs::temp_directory_path() / "orvane-bench-logexport";
    fs::create_directories(dir);
    const double now =
        std::floor(Date::fromTimePoint(std::chrono::system_clock::now()).unixSeconds());
    std::mt19937 random(7);
    fill(dir / "host.log.1", now - 2 * 86400, now - 43200, random);
    fill(dir / "host.log", now - 43200, now - 1, random);
    const std::vector<fs::path> files = {dir / "host.log.1", dir / "host.log"};

    std::cout << "nproc " << std::thread::hardware_concurrency() << ", files 2 x 8 MB\n";
    double ours = 1e9, peer = 1e9;
    std::string ourText, peerText;
    for (int run = 0; run < 3; ++run) {
        double start = threadCpu();
        ourText = settings::logExportText(files, Date::fromUnix(now));
        ours = std::min(ours, threadCpu() - start);

        auto out = dir / "jq.out";
        std::string filter =
            "select(.subsystem == \"" + std::string(settings::hostSubsystem) +
            "\") | (.time | sub(\"\\\\.[0-9]+Z$\"; \"Z\")) as $t | ($t | fromdateiso8601) as $s "
            "| select($s >= " +
            std::to_string(now - 86400) + " and $s <= " + std::to_string(now) +
            ") | \"\\($t) [\\(.category)] \\(.message)\"";
        std::string command = "jq -r '" + filter + "' " + files[0].string() + " " +
                              files[1].string() + " > " + out.string();
        double before = childrenCpu();
        if (std::system(command.c_str()) != 0) {
            std::cerr << "jq failed\n";
            return 1;
        }
        peer = std::min(peer, childrenCpu() - before);
        std::ifstream in(out);
        peerText.assign(std::istreambuf_iterator<char>(in), {});
        if (!peerText.empty() && peerText.back() == '\n') peerText.pop_back();
    }
    fs::remove_all(dir);
    std::cout << "same lines: " << (ourText == peerText ? "yes" : "NO") << " ("
              << std::count(ourText.begin(), ourText.end(), '\n') + 1 << ")\n"
              << "export CPU " << ours << " s, jq CPU " << peer << " s, ratio " << ours / peer
              << " (goal <= 1)\n";
    return ourText == peerText ? 0 : 1;
}
