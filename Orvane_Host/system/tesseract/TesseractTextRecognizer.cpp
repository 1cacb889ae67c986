#include "Orvane_Host/system/tesseract/TesseractTextRecognizer.h"

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <memory>

#include "OrvaneKit/base/Logger.h"

namespace orvane {

namespace {

const Logger& log() {
    static const Logger l{"com.nimbrel.kelsap.host", "actions"};
    return l;
}

struct Engine {
    const void* owner = nullptr;
    std::unique_ptr<tesseract::TessBaseAPI> api;
};

std::string trimmed(const char* text) {
    std::string s = text ? text : "";
    auto end = s.find_last_not_of(" \t\r\n");
    s.erase(end == std::string::npos ? 0 : end + 1);
    auto start = s.find_first_not_of(" \t");
    return start == std::string::npos ? std::string() : s.substr(start);
}

}  // namespace

std::optional<std::vector<TextObservation>> TesseractTextRecognizer::recognize(
    const GreyImage& image) {
    if (!image.pixels || image.width <= 0 || image.height <= 0) return std::nullopt;
    thread_local Engine engine;
    if (engine.owner != this || !engine.api) {
        auto api = std::make_unique<tesseract::TessBaseAPI>();
        if (api->Init(dataPath_.empty() ? nullptr : dataPath_.c_str(), language_.c_str(),
                      tesseract::OEM_LSTM_ONLY) != 0) {
            log().error("text recognition cannot start: no \"{}\" language data", language_);
            engine = {};
            return std::nullopt;
        }
        // The engine's progress and warnings would otherwise go to the host's terminal.
        api->SetVariable("debug_file", "/dev/null");
        engine.owner = this;
        engine.api = std::move(api);
    }
    tesseract::TessBaseAPI& api = *engine.api;
    api.SetImage(image.pixels, image.width, image.height, 1, image.stride);
    // Screens are about 96 pixels an inch; without a figure the engine guesses and complains.
    api.SetSourceResolution(96);
    if (api.Recognize(nullptr) != 0) {
        api.Clear();
        return std::nullopt;
    }
    std::vector<TextObservation> out;
    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    const double w = image.width, h = image.height;
    if (it) {
        do {
            std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_TEXTLINE));
            int left, top, right, bottom;
            if (!it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom)) continue;
            TextObservation o;
            o.text = trimmed(text.get());
            if (o.text.empty()) continue;
            o.x = left / w;
            o.y = 1.0 - bottom / h;
            o.width = (right - left) / w;
            o.height = (bottom - top) / h;
            out.push_back(std::move(o));
        } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    api.Clear();
    return out;
}

}  // namespace orvane
