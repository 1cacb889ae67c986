#pragma once

#include <atomic>
#include <stdexcept>

#include "OrvaneKit/base/Logger.h"
#include "Orvane_Host/capture/IDisplayStreams.h"
#include "Orvane_Host/input/InputInjector.h"
#include "Orvane_Host/session/IBrowserServer.h"
#include "Orvane_Host/session/IFileMessages.h"
#include "Orvane_Host/session/IScreenOverlays.h"
#include "Orvane_Host/session/IScreenShareWindow.h"
#include "Orvane_Host/system/FilePicker.h"
#include "Orvane_Host/system/Pasteboard.h"
#include "Orvane_Host/system/ScreenInfo.h"

namespace orvane {

class NoOverlays final : public IScreenOverlays {
public:
    bool setCurtain(bool on, StopAction) override {
        bool changed = on != curtain_;
        curtain_ = on;
        return changed;
    }
    void showSessionIndicator(std::uint32_t, std::vector<std::string>, bool, StopAction) override {}
    void hideSessionIndicator() override {}
    // Nothing is drawn yet, but the strokes are kept so the menu can offer to clear them.
    void clearAnnotations() override { annotations_.clear(); }
    void applyAnnotation(const AnnotationEvent& event, std::uint32_t) override {
        annotations_.apply(event);
    }
    AnnotationModel& annotations() override { return annotations_; }

private:
    bool curtain_ = false;
    AnnotationModel annotations_;
};

// Viewers' input, clipboard, files and shared screens are dropped with one log line
// each, until the host has the services behind them.
class NotYetAvailable {
protected:
    void once(std::atomic<bool>& said, const char* what) const {
        if (!said.exchange(true)) log_.notice("{} is not available in this build yet", what);
    }
    const Logger log_{"com.nimbrel.kelsap.host", "session"};
};

class NoInputInjector final : public InputInjector, NotYetAvailable {
public:
    void inject(const InputEvent&) override { once(said_, "input"); }
    void injectOnDisplay(const InputEvent&, std::uint32_t) override { once(said_, "input"); }
    void setDisplay(std::uint32_t) override {}
    void releaseAll() override {}
    void afterPending(std::function<void()> work) override { work(); }
    bool canPost() const override { return false; }

private:
    std::atomic<bool> said_{false};
};

class NoPasteboard final : public Pasteboard, NotYetAvailable {
public:
    std::int64_t changeCount() const override { return 0; }
    std::optional<std::string> string() const override { return std::nullopt; }
    std::int64_t clearAndSetString(const std::string&) override {
        once(said_, "the clipboard");
        return 0;
    }

private:
    std::atomic<bool> said_{false};
};

class NoFileMessages final : public IFileMessages, NotYetAvailable {
public:
    void handleFileMessage(MessageType, Bytes, const std::shared_ptr<RemoteClient>&) override {
        once(said_, "receiving files");
    }
    void cancelAll(const std::shared_ptr<RemoteClient>&) override {}
    void setOnReceived(Received) override {}
    void sending(const std::shared_ptr<RemoteClient>&, std::weak_ptr<FileSender>) override {}

private:
    std::atomic<bool> said_{false};
};

class NoShareWindows final : public IScreenShareWindows, NotYetAvailable {
public:
    Opened open(const std::string&, std::function<void()>, std::function<void()>) override {
        once(said_, "showing a shared screen");
        return {std::make_shared<Window>(), std::make_shared<Receiver>()};
    }

private:
    struct Window final : IScreenShareWindow {
        void setOrientation(int) override {}
        void layoutVideo() override {}
        void closeQuietly() override {}
    };
    struct Receiver final : IScreenReceiver {
        void receive(Bytes) override {}
    };
    std::atomic<bool> said_{false};
};

// No desktop to ask on: choosing files to send is for the interface, once it exists.
class NoFilePicker final : public FilePicker, NotYetAvailable {
public:
    void chooseFiles(const std::string&, const std::string&, Done done) override {
        once(said_, "choosing files");
        done({});
    }

private:
    std::atomic<bool> said_{false};
};

}  // namespace orvane
