#include "Orvane_Host/session/testing/FakeSessionPorts.h"

#include "Orvane_Host/session/RemoteClient.h"

namespace orvane {

void FakeMacActions::performPowerCommand(const HostAction& action) {
    add("power " + std::string(rawValue(action)));
}

void FakeMacActions::performMacCommand(const MacCommand&, const std::shared_ptr<RemoteClient>& c) {
    if (duringJob) duringJob();
    add("macCommand " + c->displayName());
}

void FakeMacActions::replyScreenText(const std::shared_ptr<RemoteClient>& c, Frame frame) {
    if (duringJob) duringJob();
    add("screenText " + c->displayName() + (frame ? " frame" : " none"));
}

void FakeMacActions::replyScreenshot(const std::shared_ptr<RemoteClient>& c, Frame frame) {
    if (duringJob) duringJob();
    add("screenshot " + c->displayName() + (frame ? " frame" : " none"));
}

void FakeFileMessages::handleFileMessage(MessageType type, Bytes,
                                         const std::shared_ptr<RemoteClient>& c) {
    add("file " + std::to_string(rawValue(type)) + " " + c->displayName());
}

void FakeFileMessages::cancelAll(const std::shared_ptr<RemoteClient>& c) {
    add("cancelAll " + c->displayName());
}

void FakeFileMessages::sending(const std::shared_ptr<RemoteClient>& c, std::weak_ptr<FileSender>) {
    add("sending " + c->displayName());
}

IScreenShareWindows::Opened FakeShareWindows::open(const std::string& title,
                                                   std::function<void()> needKeyframe,
                                                   std::function<void()> onClose) {
    auto w = std::make_shared<FakeShareWindow>();
    w->title = title;
    w->needKeyframe = std::move(needKeyframe);
    w->onClose = std::move(onClose);
    auto r = std::make_shared<FakeVideoReceiver>();
    windows.push_back(w);
    receivers.push_back(r);
    return {w, r};
}

}  // namespace orvane
