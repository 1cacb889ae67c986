#pragma once

#include <string_view>

namespace orvane {

// The browser viewer page, as built from resources/browser-viewer.html.
std::string_view embeddedViewerPage();

}  // namespace orvane
