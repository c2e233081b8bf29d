#include "json.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace trelvo::service {
namespace {

struct ParseCase {
  const char* name;
  std::string text;
  bool parses;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

std::string nested(int depth) {
  return std::string(static_cast<std::size_t>(depth), '[') +
         std::string(static_cast<std::size_t>(depth), ']');
}

class ParseJsonTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseJsonTest, AcceptsOnlyStrictJsonWithAContainerAtTheTop) {
  EXPECT_EQ(parseJson(GetParam().text).has_value(), GetParam().parses);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ParseJsonTest,
    ::testing::Values(
        ParseCase{"EmptyObject", "{}", true}, ParseCase{"EmptyArray", " [ ] ", true},
        ParseCase{
            "AllTypes",
            R"({"a": [1, -0.5e+3, 0, true, false, null, "x\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00"],
                      "b": {"c": {}}})",
            true},
        ParseCase{"RawUtf8", "{\"k\": \"\xE6\x97\xA0 \xF0\x9F\x98\x80\"}", true},
        ParseCase{"Empty", "", false}, ParseCase{"OnlySpace", "  \n", false},
        ParseCase{"TopLevelString", R"("text")", false}, ParseCase{"TopLevelNumber", "42", false},
        ParseCase{"TopLevelNull", "null", false}, ParseCase{"TopLevelTrue", "true", false},
        ParseCase{"TrailingComma", R"({"a": 1,})", false},
        ParseCase{"TrailingCommaArray", "[1,]", false}, ParseCase{"Comment", "{} // note", false},
        ParseCase{"BlockComment", "/* */ {}", false}, ParseCase{"SingleQuotes", "{'a': 1}", false},
        ParseCase{"BareKey", "{a: 1}", false}, ParseCase{"TwoValues", "{} {}", false},
        ParseCase{"Unclosed", R"({"a": [1, 2)", false}, ParseCase{"LeadingZero", "[01]", false},
        ParseCase{"PlusSign", "[+1]", false}, ParseCase{"BareFraction", "[.5]", false},
        ParseCase{"EmptyFraction", "[1.]", false}, ParseCase{"EmptyExponent", "[1e]", false},
        ParseCase{"Hex", "[0x10]", false}, ParseCase{"Infinity", "[Infinity]", false},
        ParseCase{"NaN", "[NaN]", false}, ParseCase{"HugeNumber", "[1e999]", false},
        ParseCase{"Capitalised", "[True]", false},
        ParseCase{"ControlInString", "[\"a\tb\"]", false},
        ParseCase{"BadEscape", R"(["\x41"])", false},
        ParseCase{"ShortUnicode", R"(["\u12"])", false},
        ParseCase{"LoneHighSurrogate", R"(["\ud83d"])", false},
        ParseCase{"LoneLowSurrogate", R"(["\ude00"])", false},
        ParseCase{"InvalidUtf8", "[\"\xFF\"]", false},
        ParseCase{"OverlongUtf8", "[\"\xC0\xAF\"]", false},
        ParseCase{"EncodedSurrogate", "[\"\xED\xA0\x80\"]", false},
        ParseCase{"TruncatedUtf8", "[\"\xE6\x97\"]", false},
        ParseCase{"ByteOrderMark", "\xEF\xBB\xBF{}", false},
        ParseCase{"NulAfterValue", std::string("{}\0", 3), false},
        ParseCase{"DepthAtLimit", nested(kJsonDepthLimit), true},
        ParseCase{"DepthOverLimit", nested(kJsonDepthLimit + 1), false},
        ParseCase{"VeryDeep", nested(100000), false}),
    [](const auto& param) { return std::string(param.param.name); });

// The answers the manifest reader gives where JSON readers commonly differ. A top-level array is a
// value here; the manifest's reader refuses it (runtime_test).
INSTANTIATE_TEST_SUITE_P(
    EdgeCases, ParseJsonTest,
    ::testing::Values(
        ParseCase{"ByteOrderMarkCutShort", "\xEF\xBB{}", false},
        ParseCase{"ByteOrderMarkBeforeArray", "\xEF\xBB\xBF[]", false},
        ParseCase{"TooLarge", "[1e400]", false}, ParseCase{"TooLargeNegative", "[-1e400]", false},
        ParseCase{"TooSmallToTellFromZero", "[1e-400]", false},
        ParseCase{"Subnormal", "[4e-320]", true}, ParseCase{"ZeroLargeExponent", "[0e-400]", true},
        ParseCase{"HugeInteger", "[99999999999999999999999]", true},
        ParseCase{"SurrogateThenNotALowOne", R"(["\ud83d\u0041"])", false},
        ParseCase{"InvalidUtf8InAKey", "{\"\xFF\": 1}", false},
        ParseCase{"InvalidUtf8AfterValue", "{}\xFF", false},
        ParseCase{"NulInside", std::string("[\0]", 3), false},
        ParseCase{"DuplicateKey", R"({"a": 1, "a": 2})", true},
        ParseCase{"DepthUnderLimit", nested(kJsonDepthLimit - 1), true},
        ParseCase{"VeryDeepUnclosed", std::string(100000, '['), false},
        ParseCase{"TopLevelArray", R"([{"paths": {}}])", true},
        ParseCase{"TrailingGarbage", "{}]", false}, ParseCase{"TrailingText", "[] x", false}),
    [](const auto& param) { return std::string(param.param.name); });

// Objects nested `depth` levels, each the value of "k".
std::string nestedObjects(int depth) {
  std::string text;
  for (int i = 1; i < depth; ++i) text += "{\"k\": ";
  text += "{}";
  return text + std::string(static_cast<std::size_t>(depth - 1), '}');
}

TEST(ParseJsonTest, NestedObjectsCountTowardsTheLimit) {
  EXPECT_TRUE(parseJson(nestedObjects(kJsonDepthLimit)).has_value());
  EXPECT_FALSE(parseJson(nestedObjects(kJsonDepthLimit + 1)).has_value());
  const auto value = parseJson(nestedObjects(3));
  ASSERT_TRUE(value.has_value());
  ASSERT_NE(value->member("k"), nullptr);
  ASSERT_NE(value->member("k")->member("k"), nullptr);
  EXPECT_TRUE(value->member("k")->member("k")->isObject());
  EXPECT_EQ(value->member("k")->member("k")->member("k"), nullptr);
}

TEST(ParseJsonTest, EqualNumbersReadAlike) {
  const auto value = parseJson(R"({"a": 4711, "b": 4711.0, "c": 4.711e3, "d": 47110e-1,
                                   "e": -0, "f": [1, "x", {"g": null}]})");
  ASSERT_TRUE(value.has_value());
  for (const char* key : {"a", "b", "c", "d"}) {
    SCOPED_TRACE(key);
    ASSERT_NE(value->member(key), nullptr);
    EXPECT_EQ(value->member(key)->type, JsonValue::Type::kNumber);
    EXPECT_EQ(value->member(key)->number, 4711.0);
  }
  EXPECT_EQ(value->member("e")->number, 0.0);
  const JsonValue* f = value->member("f");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(f->items.size(), 3u);
  EXPECT_EQ(f->items[0].number, 1.0);
  EXPECT_EQ(f->items[1].text, "x");
  ASSERT_EQ(f->items[2].keys, std::vector<std::string>{"g"});
  EXPECT_EQ(f->items[2].values.at(0).type, JsonValue::Type::kNull);
}

TEST(ParseJsonTest, KeepsValuesAndTheLastOfARepeatedKey) {
  const auto value = parseJson(R"({"s": "a\u00e9\ud83d\ude00", "n": -12.5, "k": 1, "k": 2,
                                   "z": "a\u0000b"})");
  ASSERT_TRUE(value.has_value());
  ASSERT_TRUE(value->isObject());
  ASSERT_NE(value->member("s"), nullptr);
  EXPECT_EQ(value->member("s")->text, "a\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(value->member("n")->number, -12.5);
  EXPECT_EQ(value->member("k")->number, 2);
  EXPECT_EQ(value->member("z")->text, std::string("a\0b", 3));
  EXPECT_EQ(value->member("missing"), nullptr);
  EXPECT_EQ(value->member("s")->member("s"), nullptr);  // not an object
}

struct BoolCase {
  const char* preview;  // JSON text of the value
  bool expected;
};

void PrintTo(const BoolCase& c, std::ostream* os) { *os << c.preview; }

class BoolValueTest : public ::testing::TestWithParam<BoolCase> {};

TEST_P(BoolValueTest, ReadsLikeThePlatformBooleanConversion) {
  const auto value = parseJson(std::string(R"({"v": )") + GetParam().preview + "}");
  ASSERT_TRUE(value.has_value()) << GetParam().preview;
  EXPECT_EQ(boolValue(value->member("v")), GetParam().expected) << GetParam().preview;
}

INSTANTIATE_TEST_SUITE_P(Values, BoolValueTest,
                         ::testing::Values(BoolCase{"true", true}, BoolCase{"false", false},
                                           BoolCase{"1", true}, BoolCase{"0", false},
                                           BoolCase{"-3", true}, BoolCase{"0.0", false},
                                           BoolCase{R"("yes")", true}, BoolCase{R"("Yes")", true},
                                           BoolCase{R"("true")", true}, BoolCase{R"("T")", true},
                                           BoolCase{R"("1")", true}, BoolCase{R"(" +0012")", true},
                                           BoolCase{R"("\t-9")", true}, BoolCase{R"("no")", false},
                                           BoolCase{R"("false")", false}, BoolCase{R"("0")", false},
                                           BoolCase{R"("000")", false}, BoolCase{R"("")", false},
                                           BoolCase{R"(" ")", false}, BoolCase{R"("+-1")", false},
                                           BoolCase{R"("x1")", false}, BoolCase{"null", false},
                                           BoolCase{"[1]", false}, BoolCase{R"({"a": 1})", false}));

TEST(BoolValueTest, AbsentIsFalse) { EXPECT_FALSE(boolValue(nullptr)); }

}  // namespace
}  // namespace trelvo::service
