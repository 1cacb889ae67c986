#pragma once

#include <asio/io_context.hpp>

#include "Orvane_Host/system/ProcessRunner.h"

namespace orvane {

// Starts programs with posix_spawn and waits for their exit on a pidfd through the io_context,
// so a program that never ends holds no thread. The child gets the host's environment and
// standard output and error, an empty standard input and none of the host's other descriptors.
class SpawnProcessRunner final : public ProcessRunner {
public:
    // `io` runs the exit waits and every `done`; it must outlive the programs started.
    explicit SpawnProcessRunner(asio::io_context& io) : io_(io) {}
    void run(const std::string& program, std::vector<std::string> args, Done done) override;

private:
    asio::io_context& io_;
};

}  // namespace orvane
