#include "OrvaneKit/base/NetContext.h"

namespace orvane {

NetContext::NetContext(unsigned threads) : work_(asio::make_work_guard(io_)) {
    if (threads == 0) threads = 1;
    threads_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { io_.run(); });
}

NetContext::~NetContext() {
    stop();
}

NetContext::Strand NetContext::makeStrand(std::string_view) {
    return asio::make_strand(io_);
}

void NetContext::stop() {
    work_.reset();
    io_.stop();
    for (auto& t : threads_) {
        if (t.joinable() && t.get_id() != std::this_thread::get_id())
            t.join();
        else if (t.joinable())
            t.detach();
    }
    threads_.clear();
}

NetContext& NetContext::shared() {
    static NetContext* instance = new NetContext(3);  // never destroyed: outlives every owner
    return *instance;
}

}  // namespace orvane
