#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

// An 8-bit grey picture, borrowed for the duration of a call.
struct GreyImage {
    const std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;  // bytes from one row to the next
};

// One recognised line of text and its box in normalised coordinates: 0..1 across the picture,
// with the origin at the lower left, so a larger y is higher up.
struct TextObservation {
    std::string text;
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const TextObservation&) const = default;
};

// Finds the lines of text in a picture. Callable from several threads at once.
class TextRecognizer {
public:
    virtual ~TextRecognizer() = default;
    // The lines in no particular order; nothing when recognition itself failed.
    virtual std::optional<std::vector<TextObservation>> recognize(const GreyImage& image) = 0;
};

}  // namespace orvane
