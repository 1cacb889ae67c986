#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Orvane_Host/session/IFileMessages.h"
#include "Orvane_Host/session/IMacActions.h"
#include "Orvane_Host/session/ScreenShareWindow.h"
#include "Orvane_Host/session/VideoPipeline.h"

namespace orvane {

// Each records what reached it, safely from any thread.
class CallRecorder {
public:
    void add(std::string c) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(c));
    }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

class FakeMacActions final : public IMacActions, public CallRecorder {
public:
    void performPowerCommand(const HostAction& action) override;
    void performMacCommand(const MacCommand& command,
                           const std::shared_ptr<RemoteClient>& client) override;
    void replyScreenText(const std::shared_ptr<RemoteClient>& client, Frame frame) override;
    void replyScreenshot(const std::shared_ptr<RemoteClient>& client, Frame frame) override;
    // Runs inside every job, e.g. to see how many run at once.
    std::function<void()> duringJob;
};

class FakeFileMessages final : public IFileMessages, public CallRecorder {
public:
    void handleFileMessage(MessageType type, Bytes body,
                           const std::shared_ptr<RemoteClient>& client) override;
    void cancelAll(const std::shared_ptr<RemoteClient>& client) override;
};

class FakeVideoReceiver final : public VideoReceiver, public CallRecorder {
public:
    void receive(Bytes frame) override { add("video " + std::to_string(frame.size())); }
};

class FakeShareWindow final : public ScreenShareWindow {
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

class FakePipeline final : public VideoPipeline {
public:
    void requestKeyframe() override { ++keyframes; }
    std::atomic<int> keyframes{0};
};

}  // namespace orvane
