#include "Orvane_Host/session/StreamQuality.h"

namespace orvane {

std::string_view rawValue(StreamQuality q) {
    switch (q) {
        case StreamQuality::smooth:
            return "smooth";
        case StreamQuality::balanced:
            return "balanced";
        case StreamQuality::sharp:
            return "sharp";
    }
    return "balanced";
}

std::string_view title(StreamQuality q) {
    switch (q) {
        case StreamQuality::smooth:
            return "Smooth";
        case StreamQuality::balanced:
            return "Balanced";
        case StreamQuality::sharp:
            return "Retina";
    }
    return "Balanced";
}

std::int64_t bitrate(StreamQuality q) {
    switch (q) {
        case StreamQuality::smooth:
            return 6'000'000;
        case StreamQuality::balanced:
            return 12'000'000;
        case StreamQuality::sharp:
            return 30'000'000;
    }
    return 12'000'000;
}

int maxCaptureWidth(StreamQuality q) {
    switch (q) {
        case StreamQuality::smooth:
            return 1600;
        case StreamQuality::balanced:
            return 2304;
        case StreamQuality::sharp:
            return 3840;
    }
    return 2304;
}

StreamQuality streamQualityFromStored(std::string_view text) {
    if (text == "smooth") return StreamQuality::smooth;
    if (text == "sharp") return StreamQuality::sharp;
    return StreamQuality::balanced;
}

}  // namespace orvane
