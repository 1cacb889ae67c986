#pragma once

#include <optional>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/protocol/InputEvent.h"

namespace orvane::BrowserInput {

// One text frame of a browser viewer: a JSON object whose "t" names the kind ("move", "down",
// "up", "scroll", "key", "text") with its values. Nothing for anything else: not JSON, no text
// "t", an unknown kind, a value of the wrong type, or a key code outside 0 to 65,535.
std::optional<InputEvent> decode(ByteView message);

}  // namespace orvane::BrowserInput
