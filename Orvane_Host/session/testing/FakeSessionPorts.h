#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OrvaneKit/base/testing/CallLog.h"
#include "Orvane_Host/session/IFileMessages.h"
#include "Orvane_Host/session/IMacActions.h"
#include "Orvane_Host/session/IScreenShareWindow.h"

namespace orvane {

class FakeMacActions final : public IMacActions, public CallLog {
public:
    void performPowerCommand(const HostAction& action) override;
    void performMacCommand(const MacCommand& command,
                           const std::shared_ptr<RemoteClient>& client) override;
    void replyScreenText(const std::shared_ptr<RemoteClient>& client, Frame frame) override;
    void replyScreenshot(const std::shared_ptr<RemoteClient>& client, Frame frame) override;
    // Runs inside every job, e.g. to see how many run at once.
    std::function<void()> duringJob;
};

class FakeFileMessages final : public IFileMessages, public CallLog {
public:
    void handleFileMessage(MessageType type, Bytes body,
                           const std::shared_ptr<RemoteClient>& client) override;
    void cancelAll(const std::shared_ptr<RemoteClient>& client) override;
    void setOnReceived(Received handler) override { onReceived = std::move(handler); }
    void sending(const std::shared_ptr<RemoteClient>& client,
                 std::weak_ptr<FileSender> sender) override;
    Received onReceived;
};

class FakeVideoReceiver final : public IScreenReceiver, public CallLog {
public:
    void receive(Bytes frame) override { add("video " + std::to_string(frame.size())); }
};

class FakeShareWindow final : public IScreenShareWindow {
public:
    void setOrientation(int o) override { orientation = o; }
    void layoutVideo() override { ++layouts; }
    void closeQuietly() override { closed = true; }
    int orientation = 1;
    int layouts = 0;
    bool closed = false;
    std::string title;
    std::function<void()> needKeyframe, onClose;
};

class FakeShareWindows final : public IScreenShareWindows {
public:
    Opened open(const std::string& title, std::function<void()> needKeyframe,
                std::function<void()> onClose) override;
    std::vector<std::shared_ptr<FakeShareWindow>> windows;
    std::vector<std::shared_ptr<FakeVideoReceiver>> receivers;
};

}  // namespace orvane
