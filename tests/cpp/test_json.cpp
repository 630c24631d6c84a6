#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace velvin {
namespace {

JsonValue parse_ok(std::string_view text) {
  auto result = parse_strict_json(text);
  EXPECT_TRUE(result.ok()) << text << ": " << (result.ok() ? "" : result.error().message);
  return result.ok() ? std::move(result).value() : JsonValue();
}

JsonObject members(std::initializer_list<std::pair<const char*, JsonValue>> pairs) {
  JsonObject out;
  for (const auto& [k, v] : pairs) out.push_back(JsonMember{k, v});
  return out;
}

// ---- value model ----

TEST(JsonValue, CloneIsDeepAndIndependent) {
  JsonArray inner;
  inner.push_back(JsonValue::string("x"));
  JsonValue original = JsonValue::object(members({{"a", JsonValue::array(std::move(inner))}}));
  JsonValue copy = original.clone();
  EXPECT_EQ(copy, original);
  copy.as_object()[0].value.as_array().push_back(JsonValue::integer(1));
  EXPECT_EQ(original.as_object()[0].value.as_array().size(), 1u);
  original = JsonValue();  // releasing the source leaves the copy intact
  EXPECT_EQ(copy.as_object()[0].value.as_array()[0].as_string(), "x");
}

TEST(JsonValue, NumberVariantsAreDistinct) {
  EXPECT_NE(JsonValue::integer(1), JsonValue::uinteger(1));
  EXPECT_NE(JsonValue::integer(1), JsonValue::number(1.0));
  EXPECT_NE(JsonValue::number(0.0), JsonValue::number(-0.0));
  EXPECT_EQ(JsonValue::number(std::nan("")), JsonValue::number(std::nan("")));
}

TEST(JsonValue, FindReturnsFirstOfRepeatedKeys) {
  JsonValue v = parse_ok(R"({"a":1,"b":2,"a":3})");
  ASSERT_NE(v.find("a"), nullptr);
  EXPECT_EQ(v.find("a")->as_int(), 1);
  EXPECT_EQ(v.find("zz"), nullptr);
  EXPECT_EQ(JsonValue::integer(1).find("a"), nullptr);
}

TEST(JsonValue, StringsKeepNulBytes) {
  JsonValue v = JsonValue::string(std::string_view("a\0b", 3));
  EXPECT_EQ(v.as_string().size(), 3u);
  EXPECT_EQ(to_compact_string(v), "\"a\\u0000b\"");
}

// ---- serializer ----

struct CompactCase {
  JsonValue value;
  std::string text;
};

TEST(CompactSerializer, Scalars) {
  const std::vector<CompactCase> cases = {
      {JsonValue::null(), "null"},
      {JsonValue::boolean(true), "true"},
      {JsonValue::boolean(false), "false"},
      {JsonValue::integer(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {JsonValue::uinteger(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615"},
      {JsonValue::number(std::nan("")), "null"},
      {JsonValue::number(std::numeric_limits<double>::infinity()), "null"},
      {JsonValue::number(-std::numeric_limits<double>::infinity()), "null"},
      {JsonValue::number(100.0), "100.0"},
      {JsonValue::number(1.0), "1.0"},
      {JsonValue::number(2.5), "2.5"},
      {JsonValue::number(0.1), "0.1"},
      {JsonValue::number(1e-7), "0.0000001"},
      {JsonValue::number(1.5e-7), "0.00000015"},
      {JsonValue::number(1e21), "1000000000000000000000.0"},
      // The fewest digits that read back, then zeros; never the exact binary expansion.
      {JsonValue::number(18446744073709551616.0), "18446744073709552000.0"},
      {JsonValue::number(-9223372036854775809.0), "-9223372036854776000.0"},
      {JsonValue::number(1.2345678901234568e20), "123456789012345680000.0"},
      {JsonValue::number(9007199254740993.0), "9007199254740992.0"},
      {JsonValue::number(-0.0), "-0.0"},
      {JsonValue::number(5e-324),
       "0." + std::string(323, '0') + "5"},
  };
  for (const auto& c : cases) EXPECT_EQ(to_compact_string(c.value), c.text);
  EXPECT_EQ(to_compact_string(JsonValue::number(1e300)), "1" + std::string(300, '0') + ".0");
}

TEST(CompactSerializer, ShortestFloatsReadBack) {
  for (double d : {0.1, 1.0 / 3.0, 123456.789e10, 2.2250738585072014e-308,
                   std::numeric_limits<double>::max(), 9007199254740993.0, 5e-324}) {
    const std::string text = to_compact_string(JsonValue::number(d));
    auto back = parse_strict_json(text);
    ASSERT_TRUE(back.ok()) << text;
    EXPECT_EQ(back.value().as_float(), d) << text;
  }
}

TEST(CompactSerializer, QuotingEscapesOnlyWhatItMust) {
  EXPECT_EQ(quote_json_string(std::string_view("\0\x1f\x7f", 3)), "\"\\u0000\\u001f\x7f\"");
  EXPECT_EQ(quote_json_string("\"\\\n\r\t\b\f"), R"("\"\\\n\r\t\b\f")");
  EXPECT_EQ(quote_json_string("a/b é 😀"), "\"a/b é 😀\"");
  EXPECT_EQ(quote_json_string(""), "\"\"");
}

TEST(CompactSerializer, ContainersKeepOrderAndRepeatedKeys) {
  EXPECT_EQ(to_compact_string(parse_ok("[ [ ] , { } ]")), "[[],{}]");
  EXPECT_EQ(to_compact_string(parse_ok(R"({"a" : 1, "a" : 2})")), R"({"a":1,"a":2})");
  EXPECT_EQ(to_compact_string(parse_ok(R"({"k":[1,-2,3.5,"s",null,true]})")),
            R"({"k":[1,-2,3.5,"s",null,true]})");
}

// ---- strict parser: values ----

TEST(StrictParser, NumberVariants) {
  EXPECT_EQ(parse_ok("-0"), JsonValue::integer(0));
  EXPECT_EQ(parse_ok("-0.0"), JsonValue::number(-0.0));
  EXPECT_EQ(parse_ok("1E2"), JsonValue::number(100.0));
  EXPECT_EQ(parse_ok("1e+2"), JsonValue::number(100.0));
  EXPECT_EQ(parse_ok("9223372036854775807"), JsonValue::integer(INT64_MAX));
  EXPECT_EQ(parse_ok("-9223372036854775808"), JsonValue::integer(INT64_MIN));
  EXPECT_EQ(parse_ok("9223372036854775808"), JsonValue::uinteger(9223372036854775808ULL));
  EXPECT_EQ(parse_ok("18446744073709551615"), JsonValue::uinteger(UINT64_MAX));
  EXPECT_EQ(parse_ok("18446744073709551616"), JsonValue::number(18446744073709551616.0));
  EXPECT_EQ(parse_ok("-9223372036854775809"), JsonValue::number(-9223372036854775809.0));
  EXPECT_EQ(parse_ok("1e400"), JsonValue::number(std::numeric_limits<double>::infinity()));
  EXPECT_EQ(parse_ok("-1e400"), JsonValue::number(-std::numeric_limits<double>::infinity()));
  EXPECT_EQ(parse_ok("1e-400"), JsonValue::number(0.0));
  EXPECT_EQ(parse_ok("-1e-400"), JsonValue::number(-0.0));
  EXPECT_EQ(parse_ok("0.000e999"), JsonValue::number(0.0));
  EXPECT_EQ(parse_ok("123456789e-400"), JsonValue::number(0.0));
  EXPECT_EQ(parse_ok("0.00001e310"), JsonValue::number(1e305));
  EXPECT_EQ(parse_ok("4.9406564584124654e-324"), JsonValue::number(5e-324));
}

TEST(StrictParser, Strings) {
  EXPECT_EQ(parse_ok(R"("a\"b\\c\/d\b\f\n\r\t")").as_string(), "a\"b\\c/d\b\f\n\r\t");
  EXPECT_EQ(parse_ok(R"("\u0041\u00e9\u00E9")").as_string(), "Aéé");
  EXPECT_EQ(parse_ok(R"("\u0000")").as_string(), std::string_view("\0", 1));
  EXPECT_EQ(parse_ok(R"("\ud83d\ude00")").as_string(), "😀");
  EXPECT_EQ(parse_ok(R"("\ud83dx")").as_string(), "\xEF\xBF\xBDx");
  EXPECT_EQ(parse_ok(R"("\ude00")").as_string(), "\xEF\xBF\xBD");
  EXPECT_EQ(parse_ok(R"("\ud83d\u0041")").as_string(), "\xEF\xBF\xBD" "A");
  EXPECT_EQ(parse_ok(R"("\ud83d\ud83d\ude00")").as_string(), "\xEF\xBF\xBD😀");
  EXPECT_EQ(parse_ok("\"\\t\"").as_string(), "\t");
  EXPECT_EQ(parse_ok("\"日本\"").as_string(), "日本");
}

TEST(StrictParser, LiteralsAndWhitespace) {
  EXPECT_EQ(parse_ok(" \t\r\ntrue \n"), JsonValue::boolean(true));
  EXPECT_EQ(parse_ok("false"), JsonValue::boolean(false));
  EXPECT_EQ(parse_ok("null"), JsonValue::null());
}

TEST(StrictParser, ObjectsKeepRepeatedKeysInOrder) {
  JsonValue v = parse_ok(R"({"a":1,"b":{},"a":[]})");
  ASSERT_EQ(v.as_object().size(), 3u);
  EXPECT_EQ(v.as_object()[0].key, "a");
  EXPECT_EQ(v.as_object()[2].key, "a");
  EXPECT_TRUE(v.as_object()[2].value.is_array());
}

// ---- strict parser: errors ----

struct ErrorCase {
  std::string text;
  std::string message;
  std::uint64_t position;
};

class StrictParserErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(StrictParserErrors, MessageAndPosition) {
  const ErrorCase& c = GetParam();
  auto result = parse_strict_json(c.text);
  ASSERT_FALSE(result.ok()) << c.text;
  EXPECT_EQ(result.error().message, c.message) << c.text;
  EXPECT_EQ(result.error().position, c.position) << c.text;
  EXPECT_EQ(result.error().code, ErrorCode::invalid_json) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, StrictParserErrors,
    testing::Values(
        ErrorCase{"", "unexpected EOF", 0}, ErrorCase{"  ", "unexpected EOF", 2},
        ErrorCase{R"({"a" 1})", "expected ':'", 5}, ErrorCase{R"({"a")", "expected ':'", 4},
        ErrorCase{"[1 2]", "expected ',' or ']'", 3}, ErrorCase{"tru", "unexpected EOF", 0},
        ErrorCase{"trux", "invalid literal", 0}, ErrorCase{"nul", "unexpected EOF", 0},
        ErrorCase{"[nulL]", "invalid literal", 1}, ErrorCase{"nullx", "trailing characters", 4},
        ErrorCase{"\"abc", "unterminated string", 0}, ErrorCase{"[1, \"ab", "unterminated string", 4},
        ErrorCase{"01", "trailing characters", 1}, ErrorCase{"1.", "invalid number", 0},
        ErrorCase{".5", "unexpected byte: 46", 0}, ErrorCase{"+1", "unexpected byte: 43", 0},
        ErrorCase{"-", "invalid number", 0}, ErrorCase{"1e", "invalid number", 0},
        ErrorCase{"[1, -x]", "invalid number", 4}, ErrorCase{"1e+", "invalid number", 0},
        ErrorCase{"\xEF\xBB\xBF{}", "unexpected byte: 239", 0},
        ErrorCase{"\xC3\xA9", "unexpected byte: 195", 0}, ErrorCase{"x", "unexpected byte: 120", 0},
        ErrorCase{"\"a\tb\"", "control character in string", 2},
        ErrorCase{"[1,]", "unexpected byte: 93", 3},
        ErrorCase{R"({"a":1,})", "expected object key string", 7},
        ErrorCase{"{", "expected object key string", 1}, ErrorCase{"{1:2}", "expected object key string", 1},
        ErrorCase{R"({"a":1 "b":2})", "expected ',' or '}'", 7}, ErrorCase{"[1", "unexpected EOF", 2},
        ErrorCase{R"({"a":1)", "unexpected EOF", 6}, ErrorCase{"[", "unexpected EOF", 1},
        ErrorCase{"\"\\", "unexpected EOF in escape", 2}, ErrorCase{R"("\x")", "invalid escape", 2},
        ErrorCase{R"("\u12")", R"(unexpected EOF in \u escape)", 3},
        ErrorCase{R"("\u12G4")", R"(invalid \u escape)", 7},
        ErrorCase{R"("\u123)", R"(unexpected EOF in \u escape)", 3},
        ErrorCase{"{} {}", "trailing characters", 3}, ErrorCase{"[] x", "trailing characters", 3}));

// ---- nesting depth ----

TEST(StrictParser, AcceptsNestingUpToTheBound) {
  const std::size_t depth = kMaxNestingDepth;
  const std::string text = std::string(depth, '[') + std::string(depth, ']');
  auto result = parse_strict_json(text);
  ASSERT_TRUE(result.ok()) << result.error().message;
  // The serializer, clone and destruction walk the deepest accepted value without trouble.
  EXPECT_EQ(to_compact_string(result.value()), text);
  JsonValue copy = result.value().clone();
  EXPECT_EQ(copy, result.value());
}

TEST(StrictParser, RejectsDeeperNestingAtTheOffendingBracket) {
  const std::size_t depth = kMaxNestingDepth + 1;
  auto result = parse_strict_json(std::string(depth, '[') + std::string(depth, ']'));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message, "nesting too deep");
  EXPECT_EQ(result.error().position, kMaxNestingDepth);
  EXPECT_EQ(result.error().code, ErrorCode::nesting_too_deep);
}

TEST(StrictParser, MillionOpenersFailWithoutOverflow) {
  auto arrays = parse_strict_json(std::string(1000000, '['));
  ASSERT_FALSE(arrays.ok());
  EXPECT_EQ(arrays.error().message, "nesting too deep");
  EXPECT_EQ(arrays.error().position, kMaxNestingDepth);

  std::string objects;
  for (int i = 0; i < 1000000; ++i) objects += "{\"a\":";
  auto nested = parse_strict_json(objects);
  ASSERT_FALSE(nested.ok());
  EXPECT_EQ(nested.error().message, "nesting too deep");
  EXPECT_EQ(nested.error().position, 5 * kMaxNestingDepth);
}

// ---- event interface ----

class CountingSink final : public JsonSink {
 public:
  bool on_null() override { return count(); }
  bool on_bool(bool) override { return count(); }
  bool on_int(std::int64_t) override { return count(); }
  bool on_uint(std::uint64_t) override { return count(); }
  bool on_float(double) override { return count(); }
  bool on_string(std::string_view) override { return count(); }
  bool on_key(std::string_view k) override {
    keys += std::string(k) + ",";
    return count();
  }
  bool on_array_end(std::size_t n) override {
    ends += "a" + std::to_string(n);
    return count();
  }
  bool on_object_end(std::size_t n) override {
    ends += "o" + std::to_string(n);
    return count();
  }
  int events = 0;
  int stop_after = 1 << 30;
  std::string keys, ends;

 private:
  bool count() { return ++events < stop_after; }
};

TEST(StrictParserEvents, ReportCountsAndKeys) {
  CountingSink sink;
  JsonError error;
  ASSERT_EQ(parse_strict_events(R"({"a":[1,2,{}],"b\n":null})", sink, error), SinkParseStatus::ok);
  EXPECT_EQ(sink.keys, "a,b\n,");
  EXPECT_EQ(sink.ends, "o0a3o2");
}

TEST(StrictParserEvents, StopAndInvalidAreDistinguished) {
  CountingSink stopping;
  stopping.stop_after = 2;
  JsonError error;
  EXPECT_EQ(parse_strict_events("[1,2,3]", stopping, error), SinkParseStatus::stopped);
  CountingSink sink;
  EXPECT_EQ(parse_strict_events("[1,2,", sink, error), SinkParseStatus::invalid);
  EXPECT_EQ(error, (JsonError{ErrorCode::invalid_json, 5, "unexpected EOF"}));
}

}  // namespace
}  // namespace velvin
