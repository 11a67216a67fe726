#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "app/errors.h"
#include "app/json.h"

namespace twr {
namespace {

std::string ParseError(std::string_view text) {
    try {
        (void)JsonObject::ParseObject(text);
    } catch (const FormatError& e) {
        return e.what();
    }
    return "(parsed)";
}

JsonValue ValueOf(std::string_view jsonValue) {
    return JsonObject::ParseObject("{\"v\":" + std::string(jsonValue) + "}").GetRaw("v");
}

TEST(JsonReader, SyntaxErrorsNameTheirPosition) {
    const struct { std::string text; std::string message; } cases[] = {
        {"", "Expected '{' at 0"}, {"  x", "Expected '{' at 2"}, {"[]", "Expected '{' at 0"},
        {"{\"a\" 1}", "Expected ':' at 5"}, {"{\"a\"", "Expected ':' at 4"},
        {"{a:1}", "Expected string at 1"}, {"{\"a\":1,}", "Expected string at 7"},
        {"{\"a\":\"abc", "Unterminated string"}, {"{\"a\":\"abc\\", "Unterminated string"},
        {"{\"a\":", "Unexpected end of JSON"},
        {"{\"a\":truex}", "Expected ',' or '}' at 9"}, {"{\"a\":1 \"b\":2}", "Expected ',' or '}' at 7"},
        {"{\"a\":1", "Expected ',' or '}' at 6"},
        {"{\"a\":[1 2]}", "Expected ',' or ']' at 8"}, {"{\"a\":[1", "Expected ',' or ']' at 7"},
        {"{\"a\":[1,]}", "Bad number at 8"}, {"{\"a\":tru}", "Bad number at 5"}, {"{\"a\":1.2.3}", "Bad number at 5"},
        {"{\"a\":--1}", "Bad number at 5"}, {"{\"a\":1e}", "Bad number at 5"}, {"{\"a\":-}", "Bad number at 5"},
        {"{\"a\":}", "Bad number at 5"},
        // A digit of another script joins the number's run and spoils it.
        {"{\"a\":1\xD9\xA3}", "Bad number at 5"},
        // Positions count UTF-16 code units: é is one, an emoji two.
        {"{\"\xC3\xA9\": 1 x}", "Expected ',' or '}' at 8"}, {"{\"\xF0\x9F\x98\x80\":1 x}", "Expected ',' or '}' at 8"},
        // The outermost object is level 1; level 257 is refused where it opens.
        {"{\"a\":" + std::string(256, '[') + std::string(256, ']') + "}", "Nesting too deep at 260"},
        {"{\"a\":" + std::string(100000, '['), "Nesting too deep at 260"},
        {std::string(300, ' ') + "{\"a\":{\"b\":" + std::string(300, '['), "Nesting too deep at 564"},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseError(c.text), c.message) << c.text.substr(0, 40);
    const JsonObject deepest = JsonObject::ParseObject("{\"a\":" + std::string(255, '[') + std::string(255, ']') + "}");
    EXPECT_EQ(JsonObject::ParseObject(deepest.ToJson(4)), deepest);
}

TEST(JsonReader, EmptyObjectsAndPositions) {
    for (std::string_view text : {"{}", "{ \t\r\n }", "  {}"}) {
        const JsonObject o = JsonObject::ParseObject(text);
        EXPECT_EQ(o.Count(), 0u) << text;
        EXPECT_EQ(o.ToJson(4), "{\n}");
    }
    // Reading starts at the position given and stops right after the closing brace.
    size_t position = 3;
    const JsonObject o = JsonObject::ParseObject("xx { \"k\" : 1 } trailing {", position);
    EXPECT_EQ(position, 14u);
    EXPECT_EQ(o.GetInt("k", 0), 1);
}

TEST(JsonReader, Values) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<std::string, JsonValue> cases[] = {
        {"+5", 5},      {"007", 7},     {".5", 0.5},      {"5.", 5},         {"-0.25", -0.25},
        {"1E3", 1000},  {"1e+2", 100},  {"25e-1", 2.5},   {"1e400", inf},    {"-1e400", -inf},
        {"1e-400", 0},  {"0.000000000000000000001e421", inf},
        // Exponents past any long long are certainly infinite or zero.
        {"0.001e99999999999999999999999", inf}, {"1000e-99999999999999999999999", 0},
        {"123456789012345678901234567890", 1.2345678901234568e29},
        {"true", true}, {"false", false}, {"null", nullptr},
        {"[1, \"x\", [], {}]", JsonList{1, "x", JsonList{}, JsonObject()}},
        {R"("\u00e9")", "\xC3\xA9"}, {R"("\u00E9x")", "\xC3\xA9x"}, {R"("\u12")", "12"}, {R"("\u12G4")", "12G4"},
        {R"("\u 4e ")", "N"}, {R"("\q")", "q"}, {R"("\/\\\"")", "/\\\""}, {R"("\b\f\n\r\t")", "\b\f\n\r\t"},
        {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"}, {R"("\u0000")", std::string(1, '\0')},
        // A lone surrogate cannot be held in UTF-8.
        {R"("\ud83dx")", "\xEF\xBF\xBDx"}, {R"("\ude00")", "\xEF\xBF\xBD"},
        {"\"raw\ttab\x01\"", "raw\ttab\x01"}, {"\"\\\xC3\xA9\"", "\xC3\xA9"},
    };
    for (const auto& [json, value] : cases) EXPECT_EQ(ValueOf(json), value) << json;
    EXPECT_TRUE(std::signbit(*ValueOf("-0").AsNumber()));
}

TEST(JsonWriter, NumberForms) {
    const struct {
        double value;
        const char* json;
        const char* text;  // GetString's invariant form
    } cases[] = {
        {3.5, "3.5", "3.5"}, {-0.0, "0", "-0"}, {48000, "48000", "48000"}, {0.0001, "0.0001", "0.0001"},
        {0.00001, "1E-05", "1E-05"}, {1e300, "1E+300", "1E+300"}, {1e15, "1000000000000000", "1E+15"},
        {123456789012345.6, "123456789012345.6", "123456789012345.6"},
        {-9007199254740991, "-9007199254740991", "-9.007199254740991E+15"},
        {9007199254740992, "9.007199254740992E+15", "9.007199254740992E+15"},
        {-1.5e-7, "-1.5E-07", "-1.5E-07"}, {5e-324, "5E-324", "5E-324"},
        {1.7976931348623157e308, "1.7976931348623157E+308", "1.7976931348623157E+308"},
        {std::numeric_limits<double>::infinity(), "1E+400", "Infinity"},
        {-std::numeric_limits<double>::infinity(), "-1E+400", "-Infinity"},
        {std::numeric_limits<double>::quiet_NaN(), "null", "NaN"},
    };
    for (const auto& c : cases) {
        JsonObject o;
        o.Set("n", c.value);
        EXPECT_EQ(o.ToJson(0), std::string("{\n\"n\": ") + c.json + "\n}") << c.json;
        EXPECT_EQ(o.GetString("n", "?"), c.text) << c.json;
        if (std::isfinite(c.value)) {
            EXPECT_EQ(*JsonObject::ParseObject(o.ToJson(4)).GetRaw("n").AsNumber(), c.value) << c.json;
        }
    }
}

TEST(JsonWriter, LayoutEscapesAndNestedValuesReadBack) {
    JsonObject o;
    o.Set("text", "q\"\\\tx\x01\x0b\x1f/\x7f \xC3\xA9\b\f\n\r");
    o.Set("flag", true);
    o.Set("none", nullptr);
    EXPECT_EQ(o.ToJson(4),
              "{\n"
              "    \"text\": \"q\\\"\\\\\\tx\\u0001\\u000b\\u001f/\x7f \xC3\xA9\\b\\f\\n\\r\",\n"
              "    \"flag\": true,\n"
              "    \"none\": null\n"
              "}");

    JsonObject inner;
    inner.Set("list", JsonList{JsonObject(), JsonList{}, "s", nullptr, false});
    o.Set("inner", inner);
    o.Set("empty", JsonObject());
    const std::string json = o.ToJson(4);
    EXPECT_EQ(JsonObject::ParseObject(json), o) << json;
    EXPECT_EQ(JsonObject::ParseObject(json).ToJson(4), json);
}

TEST(JsonObject, StoreRule) {
    // A repeated name keeps its first place and takes the last value; names are case-sensitive.
    JsonObject o = JsonObject::ParseObject("{\"b\":1,\"a\":2,\"b\":\"now text\"}");
    EXPECT_EQ(o.Keys(), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(o.GetString("b", ""), "now text");
    o.Set("a", 3);
    o.Set("B", 3);
    EXPECT_TRUE(o.Remove("b"));
    EXPECT_FALSE(o.Remove("b"));
    o.Set("b", 4);
    EXPECT_EQ(o.Keys(), (std::vector<std::string>{"a", "B", "b"}));
}

TEST(JsonObject, TypedReads) {
    constexpr int32_t kIntMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kIntMin = std::numeric_limits<int32_t>::min();
    constexpr int64_t kLongMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kLongMin = std::numeric_limits<int64_t>::min();
    const struct {
        const char* json;
        int32_t asInt;     // default -7
        int64_t asLong;    // default -9
        int asBool;        // 0 or 1; 2 stands for the default
        const char* asString;  // default "?"
    } cases[] = {
        {"2.5", 2, 2, 1, "2.5"}, {"3.5", 4, 4, 1, "3.5"}, {"-2.5", -2, -2, 1, "-2.5"}, {"0", 0, 0, 0, "0"},
        {"1e15", kIntMax, 1000000000000000, 1, "1E+15"},
        {"1e300", kIntMax, kLongMax, 1, "1E+300"}, {"-1e300", kIntMin, kLongMin, 1, "-1E+300"},
        {"1e400", kIntMax, kLongMax, 1, "Infinity"},
        {"9223372036854775807", kIntMax, kLongMax, 1, "9.223372036854776E+18"},
        {"-9223372036854775808", kIntMin, kLongMin, 1, "-9.223372036854776E+18"},
        {"\" 42 \"", 42, 42, 2, " 42 "}, {"\"\"", -7, -9, 2, ""},
        {"\"-2147483648\"", kIntMin, -2147483648LL, 2, "-2147483648"},
        {"\"2147483648\"", -7, 2147483648LL, 2, "2147483648"},
        {"\"9223372036854775807\"", -7, kLongMax, 2, "9223372036854775807"},
        {"\"-9223372036854775808\"", -7, kLongMin, 2, "-9223372036854775808"},
        {"\"9223372036854775808\"", -7, -9, 2, "9223372036854775808"},
        {"\"TRUE\"", -7, -9, 1, "TRUE"}, {"\"False\"", -7, -9, 0, "False"}, {"\" true\"", -7, -9, 2, " true"},
        {"true", 1, -9, 1, "true"}, {"false", 0, -9, 0, "false"},
        {"null", -7, -9, 2, "?"}, {"[1]", -7, -9, 2, "?"}, {"{}", -7, -9, 2, "?"},
    };
    for (const auto& c : cases) {
        const JsonObject o = JsonObject::ParseObject("{\"v\":" + std::string(c.json) + "}");
        EXPECT_EQ(o.GetInt("v", -7), c.asInt) << c.json;
        EXPECT_EQ(o.GetLong("v", -9), c.asLong) << c.json;
        EXPECT_EQ(o.GetBool("v", false), c.asBool == 1) << c.json;
        EXPECT_EQ(o.GetBool("v", true), c.asBool != 0) << c.json;
        EXPECT_EQ(o.GetString("v", "?"), c.asString) << c.json;
    }
}

TEST(JsonText, DecodeFileText) {
    const struct { std::string bytes; std::string text; } cases[] = {
        {"plain", "plain"}, {"\xEF\xBB\xBF{}", "{}"},
        {std::string("\xFF\xFE{\0\xE9\0}\0", 8), "{\xC3\xA9}"},
        {std::string("\xFE\xFF\0{\xD8\x3D\xDE\0\0}", 10), "{\xF0\x9F\x98\x80}"},
        {std::string("\xFF\xFE\0\0{\0\0\0", 8), "{"},
        {"a\xFF" "b", "a\xEF\xBF\xBD" "b"}, {"a\xE2\x82", "a\xEF\xBF\xBD"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) EXPECT_EQ(DecodeFileText(c.bytes), c.text);
}

TEST(JsonText, InvariantNumberParsing) {
    double v = 0;
    EXPECT_TRUE(TryParseInvariantDouble("\t+.5e1\n", v));
    EXPECT_EQ(v, 5.0);
    for (const char* bad : {"0,8", "1 000", "", "NaN", "Infinity", "0x10", "1e", "--1"})
        EXPECT_FALSE(TryParseInvariantDouble(bad, v)) << bad;
}

// Over 10^8 mantissa digits, as only a settings file of over 100 MB holds: the value is that of
// the digits and the whole exponent, leading and trailing zeros included, and the exponent is cut
// short only where the number is certainly infinite or zero anyway. (Under the Debug build with
// the sanitizers, each of these numbers takes about 0.7 s to convert and 2 s to read as JSON.)
TEST(JsonText, LongMantissasTakeTheirWholeExponent) {
    constexpr size_t kZeros = 100000000;
    const double inf = std::numeric_limits<double>::infinity();
    struct Case { const char* tail; double expected; };
    const auto check = [](std::string& text, size_t head, const Case& c) {
        text.resize(head);
        text += c.tail;
        double v = -1;
        EXPECT_TRUE(TryParseInvariantDouble(std::string_view(text).substr(5), v)) << c.tail;
        EXPECT_EQ(v, c.expected) << text.substr(5, 3) << "..." << c.tail;
    };
    // Built once each, in place: "{"v":" and the mantissa, then one tail after another.
    const auto build = [](std::string_view start, size_t zeros) {
        std::string text;
        text.reserve(start.size() + zeros + 40);
        text += "{\"v\":";
        text += start;
        text.append(zeros, '0');
        return text;
    };
    {
        // "0." and 10^8 zeros before a 1 at 10^-100000001.
        std::string text = build("0.", kZeros);
        const size_t head = text.size();
        text += "1e100000005}";
        EXPECT_EQ(*JsonObject::ParseObject(text).GetRaw("v").AsNumber(), 10000.0);
        for (const Case& c : {Case{"1e100000309", 1e308}, Case{"1e100000310", inf},
                              Case{"12345678901234567890e100000020", 12345678901234567890.0},
                              Case{"1e99999601", 0.0}})  // 1e-400
            check(text, head, c);
    }
    {
        // A 1 and 100000010 zeros, 10^100000010.
        std::string text = build("1", kZeros + 10);
        const size_t head = text.size();
        text += "e-100000011}";
        EXPECT_EQ(*JsonObject::ParseObject(text).GetRaw("v").AsNumber(), 0.1);
        for (const Case& c : {Case{"e-100000333", 1e-323}, Case{"e-100000335", 0.0}}) check(text, head, c);
    }
}

}  // namespace
}  // namespace twr
