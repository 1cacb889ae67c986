#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _XDisplay Display;

namespace orvane {

// An X client that watches input as an application would: one borderless window over the whole
// root (no window manager needed) holding the keyboard focus, recording key presses with their
// keysyms and modifier state, button presses and releases and pointer motion, each with the
// time it was read. It refreshes its keyboard map whenever the server says it changed.
class X11InputObserver {
public:
    struct Seen {
        enum class Type { keyPress, keyRelease, buttonPress, buttonRelease, motion } type;
        unsigned keycode = 0;
        unsigned long keysym = 0;  // as XLookupString gives it, so with Shift and Lock applied
        unsigned state = 0;        // modifier and button masks at the event
        unsigned button = 0;
        int x = 0, y = 0;  // root coordinates
        std::chrono::steady_clock::time_point at;
    };

    // Throws std::runtime_error when the display cannot be opened.
    explicit X11InputObserver(const std::string& display);
    ~X11InputObserver();
    X11InputObserver(const X11InputObserver&) = delete;
    X11InputObserver& operator=(const X11InputObserver&) = delete;

    std::vector<Seen> events() const;
    void clear();
    // Waits until `done` holds for the events seen so far; false on time-out.
    bool waitFor(const std::function<bool(const std::vector<Seen>&)>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Key presses only, as text: keysyms turned into code points (Latin-1 and Unicode keysyms,
    // Return as "\n"), in UTF-8.
    std::string typedText() const;
    static std::string textOf(const std::vector<Seen>& seen);

    // From a connection of its own, asked now.
    std::pair<int, int> pointer();
    bool anyKeyDown();
    bool anyButtonDown();
    // Whether any keycode of the server's current map makes `keysym`.
    bool mapHas(unsigned long keysym);

private:
    void run();

    Display* events_ = nullptr;
    Display* queries_ = nullptr;
    unsigned long window_ = 0;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Seen> seen_;
};

}  // namespace orvane
