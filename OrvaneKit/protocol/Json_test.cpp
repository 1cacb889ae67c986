#include "OrvaneKit/protocol/Json.h"

#include <gtest/gtest.h>

#include <cmath>

namespace orvane {
namespace {

struct Sample {
    std::string name;
    std::optional<std::string> purpose;
    std::vector<std::uint32_t> ids;
    std::optional<bool> flag;
};

void toJson(json::Value& out, const Sample& v) {
    json::putField(out, "name", v.name);
    json::putOptional(out, "purpose", v.purpose);
    json::putField(out, "ids", v.ids);
    json::putOptional(out, "flag", v.flag);
}

void fromJson(const json::Value& in, Sample& v) {
    json::requireObject(in);
    v.name = json::requireField<std::string>(in, "name");
    v.purpose = json::optionalField<std::string>(in, "purpose");
    v.ids = json::requireField<std::vector<std::uint32_t>>(in, "ids");
    v.flag = json::optionalField<bool>(in, "flag");
}

template <class T>
std::string text(const T& v) {
    auto s = json::encodeString(v);
    return s ? *s : "<fails>";
}

TEST(Json, SlashesAreEscapedOnOutputAndAcceptedBothWaysOnInput) {
    EXPECT_EQ(text(std::string("a/b//c")), R"("a\/b\/\/c")");
    EXPECT_EQ(json::decode<std::string>(R"("a\/b")"), "a/b");
    EXPECT_EQ(json::decode<std::string>(R"("a/b")"), "a/b");
    Sample s{"x/y", std::string("print/scan"), {}, {}};
    auto round = json::decode<Sample>(*json::encode(s));
    ASSERT_TRUE(round);
    EXPECT_EQ(round->name, "x/y");
    EXPECT_EQ(round->purpose, "print/scan");
}

TEST(Json, OutputIsCompactUtf8) {
    Sample s{"Zoë \"quoted\"\n", std::nullopt, {1, 2}, true};
    EXPECT_EQ(text(s), R"({"flag":true,"ids":[1,2],"name":"Zoë \"quoted\"\n"})");
}

TEST(Json, DatesAreSecondsSince2001) {
    EXPECT_EQ(text(Date::fromReference(100)), "100");
    EXPECT_EQ(text(Date::fromUnix(0)), "-978307200");
    EXPECT_EQ(text(Date::fromReference(0.25)), "0.25");
    EXPECT_EQ(Date::fromReference(100).iso8601(), "2001-01-01T00:01:40Z");
    EXPECT_EQ(json::decode<Date>("100"), Date::fromUnix(978307300));
    EXPECT_EQ(json::decode<Date>("1.5e2"), Date::fromReference(150));
    EXPECT_FALSE(json::decode<Date>(R"("2001-01-01T00:01:40Z")"));
}

TEST(Json, UuidsUpperCaseOutAnyCaseIn) {
    auto u = *Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    EXPECT_EQ(text(u), R"("E621E1F8-C36C-495A-93FC-0C247A3E6E5F")");
    EXPECT_EQ(json::decode<Uuid>(R"("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")"), u);
    EXPECT_EQ(json::decode<Uuid>(R"("E621e1f8-C36C-495a-93fc-0c247A3E6E5F")"), u);
    for (auto bad :
         {R"("e621e1f8c36c495a93fc0c247a3e6e5f")", R"("{e621e1f8-c36c-495a-93fc-0c247a3e6e5f}")",
          R"("g621e1f8-c36c-495a-93fc-0c247a3e6e5f")", R"("")", "17"})
        EXPECT_FALSE(json::decode<Uuid>(bad)) << bad;
}

TEST(Json, BytesAreStrictBase64) {
    EXPECT_EQ(text(Bytes{1, 2, 3, 4}), R"("AQIDBA==")");
    EXPECT_EQ(text(Bytes{}), R"("")");
    EXPECT_EQ(json::decode<Bytes>(R"("AQIDBA==")"), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(json::decode<Bytes>(R"("AQID\/w==")"), (Bytes{1, 2, 3, 0xFF}));
    for (auto bad : {R"("AQIDBA=")", R"("AQIDBA")", R"("AQ IDBA==")", R"("AQ=DBA==")",
                     R"("AQIDB*==")", "[1,2]"})
        EXPECT_FALSE(json::decode<Bytes>(bad)) << bad;
}

TEST(Json, OptionalsAreLeftOutAndNullMeansAbsent) {
    Sample s{"n", std::nullopt, {}, std::nullopt};
    EXPECT_EQ(text(s), R"({"ids":[],"name":"n"})");

    struct Case {
        const char* body;
        bool reads;
        std::optional<std::string> purpose;
    } cases[] = {
        {R"({"name":"n","ids":[]})", true, std::nullopt},
        {R"({"name":"n","ids":[],"purpose":null,"flag":null})", true, std::nullopt},
        {R"({"name":"n","ids":[],"purpose":"print","extra":{"deep":[1]}})", true, "print"},
        {R"({"name":"n","ids":[],"purpose":5})", false, std::nullopt},
        {R"({"name":null,"ids":[]})", false, std::nullopt},
        {R"({"ids":[]})", false, std::nullopt},
        {R"({"name":"n"})", false, std::nullopt},
        {R"(["name"])", false, std::nullopt},
        {R"("name")", false, std::nullopt},
    };
    for (const auto& c : cases) {
        auto got = json::decode<Sample>(c.body);
        ASSERT_EQ(got.has_value(), c.reads) << c.body;
        if (got) {
            EXPECT_EQ(got->purpose, c.purpose) << c.body;
        }
    }
}

template <class T>
bool reads(const char* body) {
    return json::decode<T>(body).has_value();
}

TEST(Json, IntegersMustFitTheirWidth) {
    struct Case {
        const char* body;
        bool u16, u32, i64, u64;
    } cases[] = {
        {"0", true, true, true, true},
        {"65535", true, true, true, true},
        {"65536", false, true, true, true},
        {"-1", false, false, true, false},
        {"4294967295", false, true, true, true},
        {"4294967296", false, false, true, true},
        {"9223372036854775807", false, false, true, true},
        {"9223372036854775808", false, false, false, true},
        {"-9223372036854775808", false, false, true, false},
        {"-9223372036854775809", false, false, false, false},
        {"18446744073709551615", false, false, false, true},
        {"18446744073709551616", false, false, false, false},
        {"1e30", false, false, false, false},
        {"1e15", false, false, true, true},
        {"1e16", false, false, false, false},
        {"1.0", true, true, true, true},
        {"1e2", true, true, true, true},
        {"1.5", false, false, false, false},
        {"-0.5", false, false, false, false},
        {"true", false, false, false, false},
        {R"("1")", false, false, false, false},
        {"null", false, false, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(reads<std::uint16_t>(c.body), c.u16) << c.body;
        EXPECT_EQ(reads<std::uint32_t>(c.body), c.u32) << c.body;
        EXPECT_EQ(reads<std::int64_t>(c.body), c.i64) << c.body;
        EXPECT_EQ(reads<std::uint64_t>(c.body), c.u64) << c.body;
    }
    EXPECT_EQ(json::decode<std::int64_t>("-9223372036854775808"),
              std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(json::decode<std::uint64_t>("18446744073709551615"),
              std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(json::decode<std::uint32_t>("1e2"), 100u);
    EXPECT_EQ(text(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(text(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
}

TEST(Json, NoCoercionBetweenKinds) {
    EXPECT_FALSE(reads<bool>("1"));
    EXPECT_FALSE(reads<bool>("0"));
    EXPECT_FALSE(reads<bool>(R"("true")"));
    EXPECT_TRUE(reads<bool>("false"));
    EXPECT_FALSE(reads<std::string>("1"));
    EXPECT_FALSE(reads<std::string>("null"));
    EXPECT_FALSE(reads<double>("true"));
    EXPECT_FALSE(reads<double>(R"("1.5")"));
    EXPECT_FALSE(reads<std::vector<std::uint32_t>>(R"({"0":1})"));
}

TEST(Json, NonFiniteNumbersAreRefused) {
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_FALSE(json::encode(nan));
    EXPECT_FALSE(json::encode(-inf));
    EXPECT_FALSE(json::encode(std::numeric_limits<float>::infinity()));
    EXPECT_FALSE(json::encode(Date::fromReference(nan)));
    EXPECT_FALSE(json::encode(std::vector<double>{1, inf}));
    // A raw value holding one is caught at the last step.
    json::Value raw = {{"x", nan}};
    EXPECT_FALSE(json::encode(raw));
    // A number token too large for a double is not silently infinity.
    EXPECT_FALSE(reads<double>("1e400"));
    EXPECT_FALSE(reads<double>("-1e400"));
    EXPECT_FALSE(reads<double>("NaN"));
}

TEST(Json, DoublesAndFloats) {
    EXPECT_EQ(text(0.5), "0.5");
    EXPECT_EQ(text(3.0), "3");
    EXPECT_EQ(text(-2.0), "-2");
    EXPECT_EQ(text(0.1f), "0.1");
    EXPECT_EQ(text(1.0e20), "1e+20");
    EXPECT_EQ(json::decode<double>("0.1"), 0.1);
    EXPECT_EQ(json::decode<double>("7"), 7.0);
    EXPECT_EQ(json::decode<float>("0.25"), 0.25f);
    EXPECT_TRUE(reads<float>("3.4e38"));
    EXPECT_FALSE(reads<float>("3.5e38"));
    EXPECT_FALSE(reads<float>("-1e39"));
}

TEST(Json, InvalidUtf8IsRefusedWithoutThrowing) {
    EXPECT_FALSE(json::encode(std::string("ab\xff")));
    EXPECT_FALSE(json::encode(Sample{"\xc3", {}, {}, {}}));
    EXPECT_FALSE(json::decode<std::string>("\"ab\xff\""));
    EXPECT_FALSE(json::decode<std::string>("\"\xed\xa0\x80\""));  // an encoded surrogate
    EXPECT_FALSE(json::decode<std::string>(R"("\ud800")"));       // a lone escaped surrogate
    EXPECT_EQ(json::decode<std::string>(R"("\u00e9\ud83d\ude00")"), "\xc3\xa9\xf0\x9f\x98\x80");
}

TEST(Json, TopLevelValuesOfAnyKind) {
    auto restart = json::encode(std::string("restart"));
    ASSERT_TRUE(restart);
    EXPECT_EQ(toString(*restart), "\"restart\"");
    EXPECT_EQ(restart->size(), 9u);
    EXPECT_EQ(json::decode<std::string>("\"lockScreen\""), "lockScreen");
    EXPECT_EQ(json::decode<std::uint32_t>(" 7 "), 7u);
}

TEST(Json, MalformedInputGivesNothing) {
    for (const char* bad : {"", " ", "{", R"({"name":"n","ids":[]} x)", R"({"name":"n",})",
                            "{'name':'n'}", "/* c */ 1", "[1,]", "01"})
        EXPECT_FALSE(json::parse(std::string_view(bad))) << bad;
    std::string deep(json::maxDepth, '[');
    deep += std::string(json::maxDepth, ']');
    EXPECT_TRUE(json::parse(deep));
    std::string tooDeep(100000, '[');
    EXPECT_FALSE(json::parse(tooDeep));
    // Brackets inside texts do not count.
    EXPECT_TRUE(json::parse("\"" + std::string(100000, '[') + "\""));
}

TEST(Json, FailuresNameTheirPlace) {
    std::string error;
    EXPECT_FALSE(json::decode<Sample>(R"({"name":"n","ids":[1,-2]})", &error));
    EXPECT_EQ(error.rfind("ids.1: ", 0), 0u) << error;
    EXPECT_FALSE(json::decode<Sample>(R"({"ids":[]})", &error));
    EXPECT_EQ(error.rfind("name: ", 0), 0u) << error;
}

TEST(Json, CasesNeedExactlyOneKnownKeyWithAnObject) {
    auto parseCase = [](const char* body) -> std::string {
        try {
            auto c = json::requireCase(*json::parse(std::string_view(body)), {"clear", "stroke"});
            return std::string(c.name);
        } catch (const json::DecodeError& e) {
            return e.what();
        }
    };
    const std::string wrongCount(json::invalidCaseKeysText);
    EXPECT_EQ(parseCase(R"({"clear":{}})"), "clear");
    EXPECT_EQ(parseCase(R"({"clear":{},"bogus":1})"), "clear");
    EXPECT_EQ(parseCase(R"({})"), wrongCount);
    EXPECT_EQ(parseCase(R"({"bogus":{}})"), wrongCount);
    EXPECT_EQ(parseCase(R"({"clear":{},"stroke":{}})"), wrongCount);
    EXPECT_NE(parseCase(R"({"clear":null})"), "clear");
    EXPECT_NE(parseCase(R"({"clear":[]})"), "clear");
    EXPECT_NE(parseCase(R"("clear")"), "clear");
    EXPECT_EQ(text(json::makeCase("clear")), R"({"clear":{}})");
}

}  // namespace
}  // namespace orvane
