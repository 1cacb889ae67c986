#pragma once

#include <string>

#include "Orvane_Host/system/TextRecognizer.h"

namespace orvane {

// Text lines found by the tesseract engine (its LSTM recogniser with the language's default
// dictionary). The engine is not thread-safe, so each calling thread gets an instance of its
// own, made on its first call and kept until the thread ends.
class TesseractTextRecognizer final : public TextRecognizer {
public:
    // `dataPath` empty: the engine's installed language data.
    explicit TesseractTextRecognizer(std::string language = "eng", std::string dataPath = "")
        : language_(std::move(language)), dataPath_(std::move(dataPath)) {}
    std::optional<std::vector<TextObservation>> recognize(const GreyImage& image) override;

private:
    std::string language_;
    std::string dataPath_;
};

}  // namespace orvane
