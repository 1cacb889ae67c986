#include "Orvane_Host/system/canberra/CanberraSoundPlayer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "OrvaneKit/net/testing/ChildProcess.h"
#include "Orvane_Host/capture/testing/PulseTestServer.h"

namespace orvane {
namespace {

using namespace std::chrono_literals;

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// Where the level jumps: 10 ms windows whose level is well up and more than twice that of
// 30 ms before, onsets closer than 0.1 s counted once. In seconds from the recording's start.
std::vector<double> onsets(const std::vector<float>& x, int rate) {
    const std::size_t w = static_cast<std::size_t>(rate) / 100;
    std::vector<double> level;
    for (std::size_t at = 0; at + w <= x.size(); at += w) {
        double e = 0;
        for (std::size_t n = at; n < at + w; ++n) e += double(x[n]) * x[n];
        level.push_back(std::sqrt(e / double(w)));
    }
    double peak = 0;
    for (double l : level) peak = std::max(peak, l);
    std::vector<double> out;
    for (std::size_t i = 3; i < level.size(); ++i)
        if (level[i] > 0.3 * peak && level[i] > 2.0 * level[i - 3] + 1e-4) {
            double t = double(i) / 100.0;
            if (out.empty() || t - out.back() > 0.1) out.push_back(t);
        }
    return out;
}

TEST(InteropCanberraSoundPlayer, ThreeAlertsPlayedApartAreThreeBursts) {
    testing::PulseTestServer server;
    if (!server.ok()) GTEST_SKIP() << "no private PulseAudio server: " << server.reason();
    if (std::system("command -v parec >/dev/null") != 0) GTEST_SKIP() << "parec not installed";
    ScopedEnv env("PULSE_SERVER", server.address());

    const std::string file = server.dir() + "/monitor.raw";
    ChildProcess recorder(
        {"/bin/sh", "-c",
         "exec parec --server='" + server.address() +
             "' -d orvane_test.monitor --raw --format=float32le --rate=48000 --latency-msec=20 "
             "--channels=1 > '" +
             file + "'"});
    // The recorder takes a while to start; times in the recording are real times from then on.
    for (auto until = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(10ms)) {
        std::error_code ec;
        auto size = std::filesystem::file_size(file, ec);
        if (!ec && size > 48000 * 4 / 10) break;
    }
    {
        CanberraSoundPlayer player;
        // As the cloud command plays it: at once, after 0.8 s and after 1.6 s.
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_until(start + i * 800ms);
            player.playAlert();
        }
        std::this_thread::sleep_for(1500ms);
    }
    // What the recorder has written by now covers the three; the rest is of no interest.
    std::ifstream in(file, std::ios::binary);
    std::vector<float> recorded;
    for (float v; in.read(reinterpret_cast<char*>(&v), sizeof v);) recorded.push_back(v);
    auto at = onsets(recorded, 48000);
    std::ostringstream shown;
    for (double t : at) shown << t << " ";
    ASSERT_EQ(at.size(), 3u) << "onsets: " << shown.str() << "in " << recorded.size() << " samples";
    EXPECT_NEAR(at[1] - at[0], 0.8, 0.1) << shown.str();
    EXPECT_NEAR(at[2] - at[1], 0.8, 0.1) << shown.str();
}

TEST(InteropCanberraSoundPlayer, AMissingSoundOrServerPlaysNothingAndNeverBlocks) {
    ScopedEnv env("PULSE_SERVER", "unix:/nonexistent/orvane-no-pulse");
    auto start = std::chrono::steady_clock::now();
    {
        CanberraSoundPlayer missing("orvane-no-such-event");
        missing.playAlert();
        CanberraSoundPlayer player;
        player.playAlert();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    }
}

}  // namespace
}  // namespace orvane
