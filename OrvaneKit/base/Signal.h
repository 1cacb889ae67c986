#pragma once

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace orvane {

// Disconnects its slot when disconnect() is called or when the last copy is destroyed.
class SignalConnection {
public:
    SignalConnection() = default;
    explicit SignalConnection(std::function<void()> off)
        : off_(std::make_shared<Off>(std::move(off))) {}
    void disconnect() {
        if (off_) off_->run();
        off_.reset();
    }
    // Keeps the slot connected for the signal's lifetime.
    void release() {
        if (off_) off_->fn = nullptr;
        off_.reset();
    }

private:
    struct Off {
        std::function<void()> fn;
        explicit Off(std::function<void()> f) : fn(std::move(f)) {}
        ~Off() { run(); }
        void run() {
            if (fn) std::exchange(fn, nullptr)();
        }
    };
    std::shared_ptr<Off> off_;
};

// Change notification. Slots run on the emitting thread, in connection order; a slot may
// connect or disconnect others while the signal emits.
template <class... Args>
class Signal {
public:
    using Slot = std::function<void(Args...)>;

    Signal() : state_(std::make_shared<State>()) {}
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    [[nodiscard]] SignalConnection connect(Slot slot) {
        std::lock_guard lock(state_->mutex);
        auto id = ++state_->nextId;
        state_->slots.emplace_back(id, std::make_shared<Slot>(std::move(slot)));
        std::weak_ptr<State> weak = state_;
        return SignalConnection([weak, id] {
            if (auto s = weak.lock()) {
                std::lock_guard lock(s->mutex);
                auto& v = s->slots;
                v.erase(std::remove_if(v.begin(), v.end(), [id](auto& e) { return e.first == id; }),
                        v.end());
            }
        });
    }

    void emit(Args... args) const {
        std::vector<std::shared_ptr<Slot>> copy;
        {
            std::lock_guard lock(state_->mutex);
            for (auto& e : state_->slots) copy.push_back(e.second);
        }
        for (auto& s : copy) (*s)(args...);
    }
    void operator()(Args... args) const { emit(args...); }

    std::size_t slotCount() const {
        std::lock_guard lock(state_->mutex);
        return state_->slots.size();
    }

private:
    struct State {
        std::mutex mutex;
        std::uint64_t nextId = 0;
        std::vector<std::pair<std::uint64_t, std::shared_ptr<Slot>>> slots;
    };
    std::shared_ptr<State> state_;
};

// A value with a change signal: notifies when an assignment changes it, or on every assignment
// when made with notifyAlways.
template <class T>
class Observable {
public:
    Observable() = default;
    explicit Observable(T initial, bool notifyAlways = false)
        : value_(std::move(initial)), notifyAlways_(notifyAlways) {}

    const T& get() const { return value_; }
    operator const T&() const { return value_; }

    void set(T v) {
        if constexpr (requires(const T& a, const T& b) { a == b; }) {
            if (!notifyAlways_ && v == value_) return;
        }
        value_ = std::move(v);
        changed.emit(value_);
    }
    Observable& operator=(T v) {
        set(std::move(v));
        return *this;
    }
    // Edits in place and notifies once.
    template <class F>
    void modify(F&& f) {
        T copy = value_;
        f(copy);
        set(std::move(copy));
    }

    Signal<const T&> changed;

private:
    T value_{};
    bool notifyAlways_ = false;
};

}  // namespace orvane
