#include "OrvaneKit/input/KeyMap.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <array>
#include <map>
#include <string>
#include <utility>

namespace orvane::KeyMap {

namespace {

struct UsagePair {
    std::int64_t usage;
    std::uint16_t code;
};

constexpr std::array<UsagePair, 82> usagePairs{{
    // a-z
    {4, 0},
    {5, 11},
    {6, 8},
    {7, 2},
    {8, 14},
    {9, 3},
    {10, 5},
    {11, 4},
    {12, 34},
    {13, 38},
    {14, 40},
    {15, 37},
    {16, 46},
    {17, 45},
    {18, 31},
    {19, 35},
    {20, 12},
    {21, 15},
    {22, 1},
    {23, 17},
    {24, 32},
    {25, 9},
    {26, 13},
    {27, 7},
    {28, 16},
    {29, 6},
    // 1-9, 0
    {30, 18},
    {31, 19},
    {32, 20},
    {33, 21},
    {34, 23},
    {35, 22},
    {36, 26},
    {37, 28},
    {38, 25},
    {39, 29},
    // Return, Escape, Backspace, Tab, Space and punctuation, Caps Lock
    {40, 36},
    {41, 53},
    {42, 51},
    {43, 48},
    {44, 49},
    {45, 27},
    {46, 24},
    {47, 33},
    {48, 30},
    {49, 42},
    {51, 41},
    {52, 39},
    {53, 50},
    {54, 43},
    {55, 47},
    {56, 44},
    {57, 57},
    // F1-F12
    {58, 122},
    {59, 120},
    {60, 99},
    {61, 118},
    {62, 96},
    {63, 97},
    {64, 98},
    {65, 100},
    {66, 101},
    {67, 109},
    {68, 103},
    {69, 111},
    // Home, Page Up, Forward Delete, End, Page Down, arrows
    {74, 115},
    {75, 116},
    {76, 117},
    {77, 119},
    {78, 121},
    {79, 124},
    {80, 123},
    {81, 125},
    {82, 126},
    // left and right Control, Shift, Option, Command
    {224, 59},
    {225, 56},
    {226, 58},
    {227, 55},
    {228, 62},
    {229, 60},
    {230, 61},
    {231, 54},
}};

const std::map<std::int64_t, std::uint16_t>& usageTable() {
    static const std::map<std::int64_t, std::uint16_t> table = [] {
        std::map<std::int64_t, std::uint16_t> t;
        for (const auto& p : usagePairs) t.emplace(p.usage, p.code);
        return t;
    }();
    return table;
}

const std::map<std::string, std::uint16_t>& characterTable() {
    static const std::map<std::string, std::uint16_t> table = [] {
        std::map<std::string, std::uint16_t> t;
        const std::string letters = "abcdefghijklmnopqrstuvwxyz";
        for (std::size_t i = 0; i < letters.size(); ++i)
            t[letters.substr(i, 1)] = *codeForUsage(4 + static_cast<std::int64_t>(i));
        const std::string digits = "1234567890";
        for (std::size_t i = 0; i < digits.size(); ++i)
            t[digits.substr(i, 1)] = *codeForUsage(30 + static_cast<std::int64_t>(i));
        const std::pair<const char*, std::uint16_t> fixed[] = {
            {" ", 49}, {"-", 27}, {"=", 24}, {"[", 33}, {"]", 30}, {"\\", 42},
            {";", 41}, {"'", 39}, {"`", 50}, {",", 43}, {".", 47}, {"/", 44},
        };
        for (const auto& [c, code] : fixed) t[c] = code;
        return t;
    }();
    return table;
}

}  // namespace

std::optional<std::uint16_t> codeForUsage(std::int64_t usage) {
    const auto& table = usageTable();
    auto it = table.find(usage);
    if (it == table.end()) return std::nullopt;
    return it->second;
}

std::optional<std::uint16_t> codeFor(std::string_view character) {
    std::string lower;
    icu::UnicodeString::fromUTF8(
        icu::StringPiece(character.data(), static_cast<std::int32_t>(character.size())))
        .toLower(icu::Locale::getRoot())
        .toUTF8String(lower);
    const auto& table = characterTable();
    auto it = table.find(lower);
    if (it == table.end()) return std::nullopt;
    return it->second;
}

}  // namespace orvane::KeyMap
