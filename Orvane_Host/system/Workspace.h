#pragma once

#include <string>

namespace orvane {

// Opens an address with the person's default application (a web page in their browser).
class Workspace {
public:
    virtual ~Workspace() = default;
    // False when nothing could be started to open it; what the opener does next is its own.
    virtual bool openURL(const std::string& url) = 0;
};

}  // namespace orvane
