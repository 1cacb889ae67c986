#pragma once

#include <asio/io_context.hpp>
#include <asio/strand.hpp>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace orvane {

// The shared network io_context, served by a small pool of threads. Each owner of a serial
// queue ("orvane.connection", "orvane.capture", ...) gets its own strand on it.
class NetContext {
public:
    using Strand = asio::strand<asio::io_context::executor_type>;

    explicit NetContext(unsigned threads = 2);
    ~NetContext();
    NetContext(const NetContext&) = delete;
    NetContext& operator=(const NetContext&) = delete;

    asio::io_context& context() { return io_; }
    // The label names the queue where it is made ("orvane.history", ...); it is not kept, as
    // asio strands carry no name, so log lines name their logger's category instead.
    Strand makeStrand(std::string_view label = {});

    // Stops the pool and joins its threads; pending handlers are dropped.
    void stop();

    // The process's pool, created on first use; tests make their own instances.
    static NetContext& shared();

private:
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::vector<std::thread> threads_;
};

}  // namespace orvane
