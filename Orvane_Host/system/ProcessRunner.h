#pragma once

#include <functional>
#include <string>
#include <vector>

namespace orvane {

// Starts programs directly, without a shell, so every argument reaches the program as it is.
class ProcessRunner {
public:
    using Done = std::function<void(bool exitedWithZero)>;
    virtual ~ProcessRunner() = default;
    // Starts `program` (a path, or a name looked up in $PATH) with `args` and returns at once.
    // `done` runs once, on the runner's own threads, with true exactly when the program started
    // and exited with status 0. Nobody's thread waits for the exit meanwhile.
    virtual void run(const std::string& program, std::vector<std::string> args, Done done) = 0;
};

}  // namespace orvane
