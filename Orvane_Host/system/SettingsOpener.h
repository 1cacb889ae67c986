#pragma once

namespace orvane {

// Takes the person to where the desktop lets them grant the host what it needs, or says why
// there is no such place. Main actor.
class SettingsOpener {
public:
    enum class Page { screenRecording, accessibility };
    virtual ~SettingsOpener() = default;
    virtual void open(Page page) = 0;
};

}  // namespace orvane
