#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "OrvaneKit/net/testing/ChildProcess.h"

namespace orvane::bench {

// The middle value (the upper one of an even count); 0 for none.
inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// What `ffmpeg -benchmark` reports of a run: frames done, CPU and wall seconds.
struct FfmpegRun {
    double frames = 0, cpu = 0, wall = 0;
};

// Runs ffmpeg with `args` after "-hide_banner -nostdin -benchmark"; exits the benchmark with
// ffmpeg's output when it fails, as no ratio means anything then.
inline FfmpegRun runFfmpeg(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
    std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-nostdin", "-benchmark"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto [status, log] = ChildProcess::run(argv, "", limit);
    if (status != 0) {
        std::fprintf(stderr, "ffmpeg failed:\n%s\n", log.c_str());
        std::exit(1);
    }
    std::replace(log.begin(), log.end(), '\r', '\n');
    FfmpegRun r;
    for (size_t at = log.find("frame="); at != std::string::npos; at = log.find("frame=", at + 1))
        r.frames = std::atof(log.c_str() + at + 6);
    const size_t b = log.rfind("bench: utime=");
    double u = 0, s = 0;
    if (b != std::string::npos)
        std::sscanf(log.c_str() + b, "bench: utime=%lfs stime=%lfs rtime=%lfs", &u, &s, &r.wall);
    r.cpu = u + s;
    return r;
}

}  // namespace orvane::bench
