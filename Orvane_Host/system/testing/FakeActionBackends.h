#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Orvane_Host/system/FrontmostApp.h"
#include "Orvane_Host/system/JpegEncoder.h"
#include "Orvane_Host/system/SoundPlayer.h"
#include "Orvane_Host/system/TextRecognizer.h"

namespace orvane {

// Gives the observations the test set, whatever the picture; remembers the last picture's size.
class FakeTextRecognizer final : public TextRecognizer {
public:
    std::optional<std::vector<TextObservation>> recognize(const GreyImage& image) override {
        std::lock_guard lock(mutex_);
        ++calls;
        lastWidth = image.width;
        lastHeight = image.height;
        firstPixel = image.width > 0 && image.height > 0 ? image.pixels[0] : -1;
        if (during) during();
        return result;
    }
    std::optional<std::vector<TextObservation>> result = std::vector<TextObservation>{};
    std::function<void()> during;  // runs inside each call
    int calls = 0, lastWidth = 0, lastHeight = 0, firstPixel = -1;

private:
    std::mutex mutex_;
};

// Remembers what it was given (size, quality, the first pixel as 0xRRGGBB) and answers "jpeg".
class FakeJpegEncoder final : public JpegEncoder {
public:
    Bytes encodeBGRX(const std::uint8_t* pixels, int w, int h, int, int q) override {
        width = w;
        height = h;
        quality = q;
        firstPixel = std::uint32_t(pixels[2]) << 16 | std::uint32_t(pixels[1]) << 8 | pixels[0];
        return fail ? Bytes{} : toBytes("jpeg");
    }
    std::atomic<bool> fail{false};
    std::atomic<int> width{0}, height{0}, quality{0};
    std::atomic<std::uint32_t> firstPixel{0};
};

class FakeFrontmostApp final : public FrontmostApp {
public:
    std::optional<std::string> frontmostAppName() override {
        std::lock_guard lock(mutex_);
        return name;
    }
    void set(std::optional<std::string> n) {
        std::lock_guard lock(mutex_);
        name = std::move(n);
    }

private:
    std::mutex mutex_;
    std::optional<std::string> name;
};

// Counts plays and calls `onPlay` with each.
class FakeSoundPlayer final : public SoundPlayer {
public:
    void playAlert() override {
        ++plays;
        if (onPlay) onPlay();
    }
    std::atomic<int> plays{0};
    std::function<void()> onPlay;
};

}  // namespace orvane
