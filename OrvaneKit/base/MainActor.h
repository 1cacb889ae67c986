#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <cassert>
#include <functional>
#include <utility>

namespace orvane {

// The one executor on which the host's state, admission, alerts and UI reads run. In the app it
// posts into the GUI loop; headless and in tests it is an io_context run by the caller.
class MainActor {
public:
    virtual ~MainActor() = default;
    virtual asio::any_io_executor executor() = 0;
    virtual bool isCurrent() const = 0;

    template <class F>
    void post(F&& f) {
        asio::post(executor(), std::forward<F>(f));
    }
};

class IoContextMainActor final : public MainActor {
public:
    explicit IoContextMainActor(asio::io_context& io) : io_(io) {}
    asio::any_io_executor executor() override { return io_.get_executor(); }
    bool isCurrent() const override { return io_.get_executor().running_in_this_thread(); }
    asio::io_context& context() { return io_; }

private:
    asio::io_context& io_;
};

#define ORVANE_ASSERT_MAIN_ACTOR(actor) assert((actor).isCurrent())

}  // namespace orvane
