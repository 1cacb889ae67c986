#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Orvane_Host/system/ProcessRunner.h"

namespace orvane {

// Records every command line; each program exits with the status the test set for it (0 unless
// told), at once, or only when the test calls finishAll().
class FakeProcessRunner final : public ProcessRunner {
public:
    void run(const std::string& program, std::vector<std::string> args, Done done) override {
        std::string line = program;
        for (const auto& a : args) line += " [" + a + "]";
        bool ok;
        {
            std::lock_guard lock(mutex_);
            started_.push_back(line);
            auto it = exitStatus.find(program);
            ok = it == exitStatus.end() || it->second == 0;
            if (holdExits) {
                held_.emplace_back(std::move(done), ok);
                return;
            }
        }
        done(ok);
    }
    // Each run as "program [arg] [arg]".
    std::vector<std::string> started() const {
        std::lock_guard lock(mutex_);
        return started_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        started_.clear();
        exitStatus.clear();
    }
    // Lets every held program exit, in the order they started.
    void finishAll() {
        std::vector<std::pair<Done, bool>> held;
        {
            std::lock_guard lock(mutex_);
            held.swap(held_);
        }
        for (auto& [done, ok] : held) done(ok);
    }

    std::map<std::string, int> exitStatus;  // by program; set before runs
    bool holdExits = false;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> started_;
    std::vector<std::pair<Done, bool>> held_;
};

}  // namespace orvane
