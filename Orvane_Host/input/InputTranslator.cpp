#include "Orvane_Host/input/InputTranslator.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>

namespace orvane {

namespace {

using Kind = SyntheticEvent::Kind;

// A fraction of the display: v for 0 < v <= 1, 1 above, 0 otherwise (NaN too).
double clamp01(double v) {
    if (v > 1) return 1;
    return v > 0 ? v : 0;
}

// Peers may send anything: NaN counts as 0 and the rest is held to the target's range.
template <class Int>
Int roundClamped(double v) {
    if (std::isnan(v)) return 0;
    const double r = std::round(v);  // halves away from zero
    constexpr Int lo = std::numeric_limits<Int>::min(), hi = std::numeric_limits<Int>::max();
    // 2^63 is exactly representable; every double below it converts safely.
    if (r >= static_cast<double>(hi)) return hi;
    if (r <= static_cast<double>(lo)) return lo;
    return static_cast<Int>(r);
}

double finiteClamped(double v) {
    if (std::isnan(v)) return 0;
    constexpr double limit = std::numeric_limits<std::int32_t>::max();
    return std::fmax(-limit, std::fmin(limit, v));
}

std::string hex(std::uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(v));
    return buf;
}

double orZero(double v) {
    return std::isnan(v) ? 0 : v;
}

std::int64_t graphemeCount(const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) return text.countChar32();
    it->setText(text);
    std::int64_t n = 0;
    for (it->first(); it->next() != icu::BreakIterator::DONE;) ++n;
    return n;
}

}  // namespace

InputTranslator::InputTranslator(EventPoster& poster, const Clock& clock)
    : poster_(poster), clock_(clock), displayID_(poster.mainDisplayID()) {}

const char* InputTranslator::trusted() const {
    return poster_.canPost() ? "true" : "false";
}

InputPoint InputTranslator::placed(double x, double y) const {
    return {display_.x + clamp01(x) * display_.width, display_.y + clamp01(y) * display_.height};
}

SyntheticEvent InputTranslator::pointerEvent(Kind kind, MouseButton button) const {
    SyntheticEvent e;
    e.kind = kind;
    e.button = button;
    e.point = lastPoint_;
    e.display = display_;
    return e;
}

void InputTranslator::handle(const InputEvent& event) {
    display_ = poster_.bounds(displayID_);
    std::visit([this](const auto& e) { on(e); }, event);
}

void InputTranslator::setDisplay(std::uint32_t displayID) {
    displayID_ = displayID;
    display_ = poster_.bounds(displayID_);
    if (hasPointer_ && !display_.contains(lastPoint_, 1)) lastPoint_ = display_.centre();
}

void InputTranslator::on(const InputEvent::MouseMove& e) {
    hasPointer_ = true;
    lastPoint_ = placed(e.x, e.y);
    Kind kind = Kind::mouseDragged;
    MouseButton button = MouseButton::left;
    if (pressed_.count(MouseButton::left))
        button = MouseButton::left;
    else if (pressed_.count(MouseButton::right))
        button = MouseButton::right;
    else if (pressed_.count(MouseButton::middle))
        button = MouseButton::middle;
    else
        kind = Kind::mouseMoved;
    poster_.post(pointerEvent(kind, button));
}

void InputTranslator::on(const InputEvent::MouseButtonChange& e) {
    if (e.x >= 0 && e.y >= 0) {  // negative (or NaN): press where the pointer is
        lastPoint_ = placed(e.x, e.y);
        hasPointer_ = true;
    }
    if (e.down)
        pressed_.insert(e.button);
    else
        pressed_.erase(e.button);
    postMouseButton(e.button, e.down, lastPoint_);
}

void InputTranslator::postMouseButton(MouseButton button, bool down, InputPoint point) {
    SyntheticEvent ev = pointerEvent(down ? Kind::mouseDown : Kind::mouseUp, button);
    ev.point = point;
    if (down) {
        const MonoTime now = clock_.monoNow();
        std::int64_t count = 1;
        if (lastClick_ && lastClick_->button == button &&
            now - lastClick_->time >= MonoTime::duration{} &&
            now - lastClick_->time < doubleClickInterval &&
            std::hypot(point.x - lastClick_->point.x, point.y - lastClick_->point.y) <
                multiClickDistance)
            count = lastClick_->count + 1;
        lastClick_ = Click{now, point, button, count};
        ev.clickState = count;
    } else {
        ev.clickState = lastClick_ ? lastClick_->count : 1;
    }
    ev.flags = latch_.flags;
    poster_.post(ev);
}

void InputTranslator::on(const InputEvent::Scroll& e) {
    SyntheticEvent ev;
    ev.kind = Kind::scrollWheel;
    ev.point = lastPoint_;
    ev.display = display_;
    ev.wheel1 = roundClamped<std::int32_t>(e.dy);
    ev.wheel2 = roundClamped<std::int32_t>(e.dx);
    poster_.post(ev);
}

void InputTranslator::on(const InputEvent::SmoothScroll& e) {
    SyntheticEvent ev;
    ev.kind = Kind::scrollWheel;
    ev.point = lastPoint_;
    ev.display = display_;
    ev.wheel1 = roundClamped<std::int32_t>(e.dy);
    ev.wheel2 = roundClamped<std::int32_t>(e.dx);
    ev.continuous = true;
    ev.scrollPhase = e.phase;
    ev.momentumPhase = e.momentum;
    ev.pointDelta1 = finiteClamped(e.dy);
    ev.pointDelta2 = finiteClamped(e.dx);
    poster_.post(ev);
}

void InputTranslator::on(const InputEvent::MouseDelta& e) {
    if (!hasPointer_) {
        lastPoint_ = display_.centre();
        hasPointer_ = true;
    }
    const double dx = orZero(e.dx), dy = orZero(e.dy);
    lastPoint_.x = std::fmin(std::fmax(lastPoint_.x + dx, display_.x), display_.maxX() - 1);
    lastPoint_.y = std::fmin(std::fmax(lastPoint_.y + dy, display_.y), display_.maxY() - 1);
    SyntheticEvent ev = pointerEvent(Kind::mouseMoved, MouseButton::left);
    if (pressed_.count(MouseButton::left)) {
        ev.kind = Kind::mouseDragged;
    } else if (pressed_.count(MouseButton::right)) {
        ev.kind = Kind::mouseDragged;
        ev.button = MouseButton::right;
    }
    ev.deltaX = roundClamped<std::int64_t>(dx);
    ev.deltaY = roundClamped<std::int64_t>(dy);
    poster_.post(ev);
}

void InputTranslator::on(const InputEvent::Key& e) {
    // Key codes would let a log reader rebuild what was typed: direction and flags only.
    log_.debug("key {} flags {} trusted={}", e.down ? "down" : "up", hex(e.flags), trusted());
    if (e.down)
        pressedKeys_.insert(e.code);
    else
        pressedKeys_.erase(e.code);
    latch_.apply(e.code, e.down, e.flags);
    SyntheticEvent ev;
    ev.kind = e.down ? Kind::keyDown : Kind::keyUp;
    ev.keyCode = e.code;
    ev.flags = e.flags;
    poster_.post(ev);
}

void InputTranslator::on(const InputEvent::Text& e) {
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(e.text.data(), static_cast<std::int32_t>(e.text.size())));
    log_.notice("text {} characters trusted={}", graphemeCount(text), trusted());
    std::u32string run;
    std::size_t units = 0;
    auto flush = [&] {
        if (run.empty()) return;
        SyntheticEvent ev;
        ev.kind = Kind::keyDown;
        ev.text = run;
        poster_.post(ev);
        ev.kind = Kind::keyUp;
        poster_.post(ev);
        run.clear();
        units = 0;
    };
    for (std::int32_t i = 0; i < text.length();) {
        const UChar32 c = text.char32At(i);
        const std::size_t n = U16_LENGTH(c);
        if (units + n > textRunUnits) flush();
        run.push_back(static_cast<char32_t>(c));
        units += n;
        i += static_cast<std::int32_t>(n);
    }
    flush();
}

void InputTranslator::releaseAll() {
    display_ = poster_.bounds(displayID_);
    for (MouseButton b : pressed_) {
        SyntheticEvent ev = pointerEvent(Kind::mouseUp, b);
        ev.clickState = lastClick_ ? lastClick_->count : 1;
        ev.flags = latch_.flags;
        poster_.post(ev);
    }
    pressed_.clear();
    for (std::uint16_t code : pressedKeys_) {
        SyntheticEvent ev;
        ev.kind = Kind::keyUp;
        ev.keyCode = code;
        poster_.post(ev);
    }
    pressedKeys_.clear();
    latch_ = ModifierLatch{};
}

}  // namespace orvane
