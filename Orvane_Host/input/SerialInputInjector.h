#pragma once

#include <asio/any_io_executor.hpp>
#include <memory>

#include "OrvaneKit/base/Clock.h"
#include "Orvane_Host/input/EventPoster.h"
#include "Orvane_Host/input/InputInjector.h"

namespace orvane {

class InputTranslator;

// The injector: the rules of InputTranslator run on one serial executor (a strand of the
// network context, "orvane.input"); every call only queues work there. Work still queued when
// the injector goes keeps what it needs alive.
class SerialInputInjector final : public InputInjector {
public:
    SerialInputInjector(asio::any_io_executor strand, std::shared_ptr<EventPoster> poster,
                        const Clock& clock);
    ~SerialInputInjector() override;

    void inject(const InputEvent& event) override;
    void injectOnDisplay(const InputEvent& event, std::uint32_t displayID) override;
    void setDisplay(std::uint32_t displayID) override;
    void releaseAll() override;
    void afterPending(std::function<void()> work) override;
    bool canPost() const override;

private:
    struct Core;
    asio::any_io_executor strand_;
    std::shared_ptr<Core> core_;
};

}  // namespace orvane
