#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace orvane {

struct AlertSpec {
    std::string message;
    std::string informativeText;
    std::vector<std::string> buttons;  // first is the default
    std::string symbol;                // the asking device's symbol name; empty for none

    bool operator==(const AlertSpec&) const = default;
};

// Responses: the first button 1000, the second 1001, the third 1002; aborted -1001.
namespace AlertResponse {
inline constexpr int firstButton = 1000;
inline constexpr int secondButton = 1001;
inline constexpr int thirdButton = 1002;
inline constexpr int aborted = -1001;
}  // namespace AlertResponse

// Ends an alert that is still up; its callback then runs with AlertResponse::aborted.
class AlertHandle {
public:
    AlertHandle() = default;
    explicit AlertHandle(std::function<void()> abort)
        : abort_(std::make_shared<std::function<void()>>(std::move(abort))) {}
    void abort() {
        if (abort_ && *abort_) std::exchange(*abort_, nullptr)();
    }
    explicit operator bool() const { return abort_ != nullptr; }

private:
    std::shared_ptr<std::function<void()>> abort_;
};

// Modal alerts without a nested event loop: show() returns at once and the callback runs on
// the main actor exactly once, with the response.
class AlertPresenter {
public:
    using Callback = std::function<void(int response)>;
    virtual ~AlertPresenter() = default;
    virtual AlertHandle show(AlertSpec spec, Callback done) = 0;
    // False where no person is there to answer (a headless host): alerts that only ask for the
    // person's choice are then better left unshown, since any answer would be made up.
    virtual bool answeredByPerson() const { return true; }
};

}  // namespace orvane
