#pragma once

#include <string>

namespace orvane {

// Local notifications to the person at the machine. Posting never fails visibly: a desktop
// without a notification service just does not show it.
class Notifier {
public:
    virtual ~Notifier() = default;
    virtual void post(const std::string& title, const std::string& body) = 0;
};

}  // namespace orvane
