#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Orvane_Host/system/Pasteboard.h"

namespace orvane {

// The CLIPBOARD selection of an X display as the host's pasteboard. X keeps no change count:
// a thread of its own watches ownership changes (XFixes), fetches each new owner's text
// (UTF8_STRING, else STRING, large texts incrementally) and only then counts the change, so the
// count never runs ahead of its text. Writing owns the selection and serves it to whoever asks,
// incrementally when large. Reads and writes never wait for the X server.
class X11Pasteboard final : public Pasteboard {
public:
    // Connects to `display` (empty: $DISPLAY); nothing when there is no server or it has no
    // XFixes.
    static std::unique_ptr<X11Pasteboard> open(const std::string& display = "");
    ~X11Pasteboard() override;
    X11Pasteboard(const X11Pasteboard&) = delete;
    X11Pasteboard& operator=(const X11Pasteboard&) = delete;

    std::int64_t changeCount() const override;
    std::optional<std::string> string() const override;
    std::int64_t clearAndSetString(const std::string& text) override;

    // The largest text fetched from another program; anything longer reads as no text.
    static constexpr std::size_t largestText = 64u * 1024 * 1024;

    struct State;

private:
    explicit X11Pasteboard(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace orvane
