#pragma once

#include <memory>

#include "OrvaneKit/protocol/HostAction.h"
#include "OrvaneKit/protocol/MacCommand.h"

namespace orvane {

class FrameBuffer;
class RemoteClient;

// What a viewer may ask the machine to do beyond input. performPowerCommand runs on the main
// actor; the others run on the asking client's job queue, off the main actor, one at a time, and
// send their replies themselves.
class IMacActions {
public:
    using Frame = std::shared_ptr<const FrameBuffer>;
    virtual ~IMacActions() = default;
    virtual void performPowerCommand(const HostAction& action) = 0;
    virtual void performMacCommand(const MacCommand& command,
                                   const std::shared_ptr<RemoteClient>& client) = 0;
    // `frame` is the display's last captured frame, if there is one.
    virtual void replyScreenText(const std::shared_ptr<RemoteClient>& client, Frame frame) = 0;
    virtual void replyScreenshot(const std::shared_ptr<RemoteClient>& client, Frame frame) = 0;
};

}  // namespace orvane
