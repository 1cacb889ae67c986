#include "Orvane_Host/input/SerialInputInjector.h"

#include <asio/post.hpp>

#include "Orvane_Host/input/InputTranslator.h"

namespace orvane {

struct SerialInputInjector::Core {
    Core(std::shared_ptr<EventPoster> p, const Clock& clock)
        : poster(std::move(p)), translator(*poster, clock) {}
    std::shared_ptr<EventPoster> poster;
    InputTranslator translator;
};

SerialInputInjector::SerialInputInjector(asio::any_io_executor strand,
                                         std::shared_ptr<EventPoster> poster, const Clock& clock)
    : strand_(std::move(strand)), core_(std::make_shared<Core>(std::move(poster), clock)) {}

SerialInputInjector::~SerialInputInjector() = default;

void SerialInputInjector::inject(const InputEvent& event) {
    asio::post(strand_, [core = core_, event] { core->translator.handle(event); });
}

void SerialInputInjector::injectOnDisplay(const InputEvent& event, std::uint32_t displayID) {
    asio::post(strand_, [core = core_, event, displayID] {
        core->translator.setDisplay(displayID);
        core->translator.handle(event);
    });
}

void SerialInputInjector::setDisplay(std::uint32_t displayID) {
    asio::post(strand_, [core = core_, displayID] { core->translator.setDisplay(displayID); });
}

void SerialInputInjector::releaseAll() {
    asio::post(strand_, [core = core_] { core->translator.releaseAll(); });
}

void SerialInputInjector::afterPending(std::function<void()> work) {
    asio::post(strand_, [core = core_, work = std::move(work)] { work(); });
}

bool SerialInputInjector::canPost() const {
    return core_->poster->canPost();
}

}  // namespace orvane
