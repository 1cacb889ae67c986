#include "Orvane_Host/system/tesseract/TesseractTextRecognizer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "OrvaneKit/base/testing/FakeClock.h"
#include "OrvaneKit/media/FrameBuffer.h"
#include "OrvaneKit/net/testing/ChildProcess.h"
#include "Orvane_Host/input/testing/FakeInjector.h"
#include "Orvane_Host/session/MacActions.h"
#include "Orvane_Host/system/testing/FakeActionBackends.h"
#include "Orvane_Host/system/testing/FakePowerActions.h"
#include "Orvane_Host/system/testing/FakeProcessRunner.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A page of known lines, as a screen shows them: 96 pixels an inch, smoothed type, two
// columns on one line.
constexpr const char* page = R"(%!PS
/Helvetica-Bold findfont 20 scalefont setfont
40 420 moveto (Screen text check) show
/Helvetica findfont 13 scalefont setfont
40 380 moveto (The quick brown fox jumps over the lazy dog.) show
40 355 moveto (Please review the attached budget before Friday.) show
40 330 moveto (Left column item) show
420 330 moveto (Right column value) show
40 305 moveto (Meeting notes from the design review follow below.) show
40 280 moveto (Total amount due: 1234 dollars) show
showpage
)";
const std::vector<std::string> pageLines = {
    "Screen text check",
    "The quick brown fox jumps over the lazy dog.",
    "Please review the attached budget before Friday.",
    "Left column item",
    "Right column value",
    "Meeting notes from the design review follow below.",
    "Total amount due: 1234 dollars",
};

std::vector<std::string> words(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines) {
        std::istringstream in(l);
        for (std::string w; in >> w;) out.push_back(w);
    }
    return out;
}

// How many words of `expected` come back exactly and in the same order.
std::size_t wordsInOrder(const std::vector<std::string>& expected,
                         const std::vector<std::string>& got) {
    std::vector<std::vector<std::size_t>> lcs(expected.size() + 1,
                                              std::vector<std::size_t>(got.size() + 1));
    for (std::size_t i = 1; i <= expected.size(); ++i)
        for (std::size_t j = 1; j <= got.size(); ++j)
            lcs[i][j] = expected[i - 1] == got[j - 1] ? lcs[i - 1][j - 1] + 1
                                                      : std::max(lcs[i - 1][j], lcs[i][j - 1]);
    return lcs[expected.size()][got.size()];
}

// The page rendered by ghostscript into an 8-bit grey picture, as the luma of a captured frame.
std::shared_ptr<FrameBuffer> renderedPage(const fs::path& dir, std::string& why) {
    if (::access("/usr/bin/gs", X_OK) != 0) {
        why = "ghostscript is not installed";
        return nullptr;
    }
    std::ofstream(dir / "page.ps") << page;
    auto [status, output] = ChildProcess::run(
        {"/usr/bin/gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pgmraw", "-r96",
         "-dTextAlphaBits=4", "-dGraphicsAlphaBits=4", "-g800x600",
         "-sOutputFile=" + (dir / "page.pgm").string(), (dir / "page.ps").string()},
        "", 30s);
    if (status != 0) {
        why = "ghostscript failed: " + output;
        return nullptr;
    }
    std::ifstream in(dir / "page.pgm", std::ios::binary);
    std::string magic, token;
    int w = 0, h = 0, max = 0;
    in >> magic;
    // Header fields, skipping comment lines.
    std::vector<int> fields;
    while (fields.size() < 3 && in >> token) {
        if (token[0] == '#') {
            std::getline(in, token);
            continue;
        }
        fields.push_back(std::stoi(token));
    }
    in.get();
    if (magic != "P5" || fields.size() != 3) {
        why = "unexpected picture from ghostscript";
        return nullptr;
    }
    w = fields[0], h = fields[1], max = fields[2];
    auto frame = FrameBuffer::make(PixelFormat::nv12, w, h);
    frame->fillBlack();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            frame->data(0)[y * frame->stride(0) + x] =
                static_cast<std::uint8_t>(16 + in.get() * 219 / max);
    return frame;
}

TEST(TesseractTextRecognizer, APageComesBackLineByLineInReadingOrder) {
    fs::path dir = fs::temp_directory_path() / ("orvane-ocr-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string why;
    auto frame = renderedPage(dir, why);
    fs::remove_all(dir);
    if (!frame) GTEST_SKIP() << why;

    asio::io_context work;
    IoContextMainActor mainActor{work};
    FakeClock clock;
    CallLog calls;
    FakeInjector injector{calls};
    FakePowerActions power{calls};
    FakeProcessRunner processes;
    FakeJpegEncoder jpeg;
    FakeFrontmostApp frontmost;
    TesseractTextRecognizer recognizer;
    MacActions actions({mainActor, clock, injector, power, power, processes, recognizer, jpeg,
                        frontmost, work.get_executor()},
                       {});
    auto text = actions.recognizeScreenText(frame);

    auto expected = words(pageLines);
    auto got = words(text.lines);
    std::ostringstream shown;
    for (const auto& l : text.lines) shown << "  " << l << "\n";
    EXPECT_GE(wordsInOrder(expected, got) * 10, expected.size() * 9) << shown.str();
    EXPECT_LE(got.size(), expected.size() + 3) << shown.str();
    ASSERT_FALSE(text.lines.empty());
    EXPECT_EQ(text.lines.front(), "Screen text check");
}

TEST(TesseractTextRecognizer, ABlankPictureHasNoLines) {
    std::vector<std::uint8_t> blank(200 * 100, 235);
    TesseractTextRecognizer recognizer;
    auto lines = recognizer.recognize({blank.data(), 200, 100, 200});
    ASSERT_TRUE(lines);
    EXPECT_TRUE(lines->empty());
    EXPECT_FALSE(recognizer.recognize({nullptr, 0, 0, 0}));
    // Missing language data is a failure, not a crash or an empty page.
    EXPECT_FALSE(TesseractTextRecognizer("zz-none").recognize({blank.data(), 200, 100, 200}));
}

}  // namespace
}  // namespace orvane
