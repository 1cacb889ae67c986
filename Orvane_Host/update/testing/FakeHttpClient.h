#pragma once

#include <mutex>
#include <vector>

#include "Orvane_Host/update/HttpClient.h"

namespace orvane {

// Answers every request with the result set last, at once, or holds the requests until the
// test completes them (for slow servers and overlapping requests).
class FakeHttpClient final : public HttpClient {
public:
    void get(HttpRequest request, Completion done) override {
        std::unique_lock lock(mutex_);
        requests_.push_back(request);
        if (holding_) {
            held_.push_back(std::move(done));
            return;
        }
        HttpResult r = answer_;
        lock.unlock();
        done(std::move(r));
    }

    void answer(HttpResult r) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(r);
    }
    void hold() {
        std::lock_guard lock(mutex_);
        holding_ = true;
    }
    // Completes the held request with index `i` (in order of arrival).
    void complete(std::size_t i, HttpResult r) {
        Completion done;
        {
            std::lock_guard lock(mutex_);
            done = std::move(held_.at(i));
        }
        done(std::move(r));
    }
    std::vector<HttpRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    mutable std::mutex mutex_;
    HttpResult answer_ = HttpResult::failure("no answer set");
    bool holding_ = false;
    std::vector<Completion> held_;
    std::vector<HttpRequest> requests_;
};

}  // namespace orvane
