#include "OrvaneKit/files/FileNames.h"

#include <gtest/gtest.h>

#include <fstream>

#include "OrvaneKit/files/FileTransferError.h"
#include "OrvaneKit/files/testing/ScratchFolder.h"

namespace orvane {
namespace {

bool validUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        std::size_t len = b < 0x80         ? 1
                          : (b >> 5) == 6  ? 2
                          : (b >> 4) == 14 ? 3
                          : (b >> 3) == 30 ? 4
                                           : 0;
        if (len == 0 || i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

TEST(FileNames, OfferedNamesBecomePlainNames) {
    struct Case {
        std::string offered, expected;
    } cases[] = {
        {"report.pdf", "report.pdf"},
        {"../x/report.pdf", "report.pdf"},
        {"/etc/passwd", "passwd"},
        {"folder/", "folder"},
        {"a:b", "a-b"},
        {"  .hidden. ", "hidden"},
        {"\n\t notes.txt \r\n", "notes.txt"},
        {"...", "File"},
        {"..", "File"},
        {"", "File"},
        {"/", "-"},
        {std::string("a\0b.txt", 7), "a-b.txt"},
        {"bell\x07.txt", "bell-.txt"},
        {"x\x1b[31m.txt", "x-[31m.txt"},
        {"a\xff"
         "b",
         "a-b"},
        {"\xc0\xafpasswd", "--passwd"},  // an overlong "/"
        {"invoice\u202Efdp.exe", "invoice-fdp.exe"},
        {"caf\u00e9 \u2013 menu.pdf", "caf\u00e9 \u2013 menu.pdf"},
        {"\u00a0\u3000name\u2028", "name"},
    };
    for (const auto& c : cases) EXPECT_EQ(FileNames::safe(c.offered), c.expected) << c.offered;
}

TEST(FileNames, LongNamesAreCutOnACharacterKeepingTheExtension) {
    auto ascii = FileNames::safe(std::string(300, 'a') + ".pdf");
    EXPECT_EQ(ascii.size(), FileNames::maxBytes);
    EXPECT_TRUE(ascii.ends_with("a.pdf"));

    std::string wide;
    for (int i = 0; i < 100; ++i) wide += "\u00e9";  // two bytes each
    auto cut = FileNames::safe(wide + "x.txt" + wide);
    EXPECT_LE(cut.size(), FileNames::maxBytes);
    EXPECT_TRUE(validUtf8(cut));

    auto numbered = FileNames::numbered(ascii, 12);
    EXPECT_EQ(numbered.size(), FileNames::maxBytes);
    EXPECT_TRUE(numbered.ends_with(" 12.pdf"));
}

TEST(FileNames, NumberedFormsFollowTheName) {
    EXPECT_EQ(FileNames::numbered("report.pdf", 1), "report.pdf");
    EXPECT_EQ(FileNames::numbered("report.pdf", 2), "report 2.pdf");
    EXPECT_EQ(FileNames::numbered("archive.tar.gz", 3), "archive.tar 3.gz");
    EXPECT_EQ(FileNames::numbered("notes", 2), "notes 2");
}

TEST(FileNames, MovesNeverReplaceWhatIsThere) {
    ScratchFolder dir;
    dir.write("report.pdf", 3, 1);
    dir.write("report 2.pdf", 3, 2);
    std::filesystem::create_directory(dir / "report 3.pdf");  // a folder counts as taken
    auto part = dir.write(".part", 5, 3);

    auto landed = FileNames::moveToFreeName(part, dir.path, "report.pdf");
    EXPECT_EQ(landed.filename(), "report 4.pdf");
    EXPECT_EQ(ScratchFolder::read(landed).size(), 5u);
    EXPECT_EQ(ScratchFolder::read(dir / "report.pdf").size(), 3u);
    EXPECT_FALSE(std::filesystem::exists(part));

    EXPECT_THROW(FileNames::moveToFreeName(dir / "missing", dir.path, "x"), FileTransferError);
}

}  // namespace
}  // namespace orvane
