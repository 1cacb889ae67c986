#pragma once

#include <optional>
#include <string>

namespace orvane {

// Which application the person at the machine is using. Callable from any thread.
class FrontmostApp {
public:
    virtual ~FrontmostApp() = default;
    // The name of the application whose window has the focus; nothing without one.
    virtual std::optional<std::string> frontmostAppName() = 0;
};

}  // namespace orvane
