#include "scale/tape.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <ostream>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace velvin {

void PrintTo(const TapeEntry& e, std::ostream* os) {
  *os << tape_entry_kind_name(e.kind) << "@" << e.offset << "+" << e.length << ":" << e.payload;
}
void PrintTo(const Span& s, std::ostream* os) { *os << "(" << s.start << ", " << s.end << ")"; }

namespace {

using K = TapeEntryKind;

Tape parse_ok(std::string_view text, std::uint64_t base = 0) {
  auto result = parse_strict_tape(text, base);
  EXPECT_TRUE(result.ok()) << text << ": " << (result.ok() ? "" : result.error().message);
  return result.ok() ? std::move(result).value() : Tape{};
}

std::vector<K> kinds(const Tape& tape) {
  std::vector<K> out;
  for (const TapeEntry& e : tape.entries) out.push_back(e.kind);
  return out;
}

TEST(TapeEntry, IsPackedIntoTwentyFiveBytes) { EXPECT_EQ(sizeof(TapeEntry), 25U); }

TEST(ParseStrictTape, EmptyContainersLinkToTheirEnds) {
  for (std::string_view text : {"[]", "{}", " [ ] "}) {
    const Tape tape = parse_ok(text);
    ASSERT_EQ(tape.entries.size(), 2U) << text;
    EXPECT_EQ(tape.entries[0].payload, 1U);
    EXPECT_EQ(tape.entries[1].payload, 0U);
    EXPECT_EQ(tape.entries[0].length, 1U);
  }
}

TEST(ParseStrictTape, NestedContainersInDocumentOrder) {
  const Tape tape = parse_ok(R"([1,[2],{"a":null}])");
  EXPECT_EQ(kinds(tape), (std::vector<K>{K::ArrayStart, K::NumberU64, K::ArrayStart, K::NumberU64,
                                         K::ArrayEnd, K::ObjectStart, K::String, K::Null,
                                         K::ObjectEnd, K::ArrayEnd}));
  EXPECT_EQ(tape.entries[0].payload, 9U);
  EXPECT_EQ(tape.entries[2].payload, 4U);
  EXPECT_EQ(tape.entries[5].payload, 8U);
  EXPECT_EQ(tape.entries[6].offset, 8U);
  EXPECT_EQ(tape.entries[6].length, 3U);
  EXPECT_EQ(tape.entries[7].offset, 12U);
  EXPECT_EQ(tape.entries[9].offset, 17U);
  EXPECT_EQ(tape.root_index, 0U);
  EXPECT_EQ(tape.data_span, (Span{0, 18}));
}

TEST(ParseStrictTape, OffsetsAndErrorsAreAbsolute) {
  const Tape tape = parse_ok("  true ", 100);
  ASSERT_EQ(tape.entries.size(), 1U);
  EXPECT_EQ(tape.entries[0], (TapeEntry{K::True, 102, 4, 0}));
  EXPECT_EQ(tape.data_span, (Span{100, 107}));
  auto bad = parse_strict_tape("[1 2]", 100);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), (TapeError{ErrorCode::invalid_json, 103, "expected ',' or ']'"}));
}

TEST(ParseStrictTape, NumbersKeepTheirKindAndBits) {
  struct Case {
    std::string_view text;
    K kind;
    std::uint64_t payload;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"-5", K::NumberI64, std::uint64_t{0} - 5},
      {"-0", K::NumberI64, 0},
      {"-9223372036854775808", K::NumberI64, std::uint64_t{1} << 63},
      {"0", K::NumberU64, 0},
      {"18446744073709551615", K::NumberU64, std::numeric_limits<std::uint64_t>::max()},
      {"1.5", K::NumberF64, std::bit_cast<std::uint64_t>(1.5)},
      {"2E3", K::NumberF64, std::bit_cast<std::uint64_t>(2000.0)},
      {"1.0", K::NumberF64, std::bit_cast<std::uint64_t>(1.0)},
      {"-0.0", K::NumberF64, std::bit_cast<std::uint64_t>(-0.0)},
      {"1e400", K::NumberF64, std::bit_cast<std::uint64_t>(inf)},
      {"-1e400", K::NumberF64, std::bit_cast<std::uint64_t>(-inf)},
      {"1e-400", K::NumberF64, std::bit_cast<std::uint64_t>(0.0)},
      {"-12.5e-400", K::NumberF64, std::bit_cast<std::uint64_t>(-0.0)},
  };
  for (const Case& c : cases) {
    const Tape tape = parse_ok(c.text);
    ASSERT_EQ(tape.entries.size(), 1U) << c.text;
    EXPECT_EQ(tape.entries[0].kind, c.kind) << c.text;
    EXPECT_EQ(tape.entries[0].payload, c.payload) << c.text;
    EXPECT_EQ(tape.entries[0].length, c.text.size()) << c.text;
  }
}

TEST(ParseStrictTape, StringsAreValidatedNotDecoded) {
  const std::string text = "[\"a\\\"b\\u00e9\\/\", \"\xff\xfe\"]";
  const Tape tape = parse_ok(text);
  ASSERT_EQ(tape.entries.size(), 4U);
  EXPECT_EQ(tape.entries[1], (TapeEntry{K::String, 1, 14, 0}));
  EXPECT_EQ(tape.entries[2], (TapeEntry{K::String, 17, 4, 0}));
}

struct ErrorCase {
  std::string text;
  std::string message;
  std::uint64_t pos;
};

class TapeErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(TapeErrors, MessageAndPosition) {
  const ErrorCase& c = GetParam();
  auto result = parse_strict_tape(c.text, 0);
  ASSERT_FALSE(result.ok()) << c.text;
  EXPECT_EQ(result.error().message, c.message) << c.text;
  EXPECT_EQ(result.error().position, c.pos) << c.text;
  EXPECT_EQ(result.error().code, ErrorCode::invalid_json) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, TapeErrors,
    ::testing::Values(
        ErrorCase{"", "unexpected EOF", 0}, ErrorCase{"   ", "unexpected EOF", 3},
        ErrorCase{"[", "unexpected EOF", 1}, ErrorCase{"[1", "unexpected EOF", 2},
        ErrorCase{"{\"a\":", "unexpected EOF", 5}, ErrorCase{"nul", "unexpected EOF", 0},
        ErrorCase{"nulL", "invalid literal", 0}, ErrorCase{"[truE]", "invalid literal", 1},
        ErrorCase{"{", "expected string", 1}, ErrorCase{"{1:2}", "expected string", 1},
        ErrorCase{"{\"a\":1,}", "expected string", 7},
        ErrorCase{"\"abc", "unterminated string", 0},
        ErrorCase{"[\"\\x\"]", "invalid escape", 3},
        ErrorCase{"\"\\u12G4\"", "invalid unicode escape", 3},
        ErrorCase{"\"\\u12\"", "invalid unicode escape", 3},
        ErrorCase{"\"\\", "unexpected EOF in string escape", 2},
        ErrorCase{"\"a\tb\"", "control character in string", 2},
        ErrorCase{"-", "invalid number", 0}, ErrorCase{"[1.]", "invalid number", 1},
        ErrorCase{"1e+", "invalid number", 0}, ErrorCase{"18446744073709551616", "invalid number", 0},
        ErrorCase{"-9223372036854775809", "invalid number", 0},
        ErrorCase{"[1 2]", "expected ',' or ']'", 3}, ErrorCase{"[01]", "expected ',' or ']'", 2},
        ErrorCase{"{\"a\":1 \"b\"}", "expected ',' or '}'", 7},
        ErrorCase{"{\"a\" 1}", "expected ':'", 5}, ErrorCase{"{\"a\"", "expected ':'", 4},
        ErrorCase{"[1,]", "unexpected character", 3}, ErrorCase{"x", "unexpected character", 0},
        ErrorCase{"+1", "unexpected character", 0}, ErrorCase{"1 2", "trailing characters", 2},
        ErrorCase{"01", "trailing characters", 1}));

TEST(ParseObjectPairSegment, KeyThenValueEntries) {
  auto entries = parse_object_pair_segment(R"( "k" : [1, {}] )", 10);
  ASSERT_TRUE(entries.ok());
  const TapeEntries& e = entries.value();
  ASSERT_EQ(e.size(), 6U);
  EXPECT_EQ(e[0], (TapeEntry{K::String, 11, 3, 0}));
  EXPECT_EQ(e[1].kind, K::ArrayStart);
  EXPECT_EQ(e[1].payload, 5U);
  EXPECT_EQ(e[3].payload, 4U);
}

TEST(ParseObjectPairSegment, Errors) {
  const ErrorCase cases[] = {
      {"1:2", "expected string", 0}, {"", "expected string", 0}, {"\"a\" 1", "expected ':'", 4},
      {"\"a\"", "expected ':'", 3},  {"\"a\":", "unexpected EOF", 4},
      {"\"a\":1 x", "trailing characters", 6}};
  for (const ErrorCase& c : cases) {
    auto result = parse_object_pair_segment(c.text, 0);
    ASSERT_FALSE(result.ok()) << c.text;
    EXPECT_EQ(result.error(), (TapeError{ErrorCode::invalid_json, c.pos, c.message})) << c.text;
  }
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(ParseStrictTape, NestingIsBoundedLikeTheStrictParser) {
  EXPECT_TRUE(parse_strict_tape(nested(kMaxNestingDepth), 0).ok());
  for (std::size_t outer : {std::size_t{0}, std::size_t{1}, std::size_t{100}}) {
    const std::string text = nested(kMaxNestingDepth + 1 - outer);
    auto result = parse_strict_tape(text, 0, outer);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), (TapeError{ErrorCode::nesting_too_deep, kMaxNestingDepth - outer,
                                         "nesting too deep"}));
    EXPECT_TRUE(parse_strict_tape(nested(kMaxNestingDepth - outer), 0, outer).ok());
  }
  // The strict parser stops at the same bracket.
  auto strict = parse_strict_json(nested(kMaxNestingDepth + 1));
  ASSERT_FALSE(strict.ok());
  EXPECT_EQ(strict.error().position, kMaxNestingDepth);
  // Far deeper input fails the same way instead of exhausting the stack.
  auto deep = parse_strict_tape(std::string(1'000'000, '['), 0);
  ASSERT_FALSE(deep.ok());
  EXPECT_EQ(deep.error().message, "nesting too deep");
}

TEST(WindowedParse, FillsExactlyItsWindowOrReportsOverflow) {
  TapeEntries entries(8, TapeEntry{});
  auto fits = write_strict_tape("[1,2]", 40, 0, entries, 2, 6);
  ASSERT_TRUE(fits.ok());
  EXPECT_EQ(fits.value(), 6U);
  EXPECT_EQ(entries[2], (TapeEntry{K::ArrayStart, 40, 1, 5}));
  EXPECT_EQ(entries[5], (TapeEntry{K::ArrayEnd, 44, 1, 0}));
  auto overflow = write_strict_tape("[1,2,3]", 0, 0, entries, 2, 6);
  ASSERT_FALSE(overflow.ok());
  EXPECT_EQ(overflow.error().code, ErrorCode::tape_window_overflow);
  auto member = write_object_pair_segment("\"a\":true", 0, 1, entries, 6, 8);
  ASSERT_TRUE(member.ok());
  EXPECT_EQ(entries[7].kind, K::True);
}

TEST(AppendStrictTape, KeepsExistingEntriesAndRestoresOnFailure) {
  TapeEntries entries;
  ASSERT_FALSE(append_strict_tape("[true]", 0, 0, entries).has_value());
  ASSERT_FALSE(append_strict_tape(" [null] ", 6, 0, entries).has_value());
  ASSERT_EQ(entries.size(), 6U);
  EXPECT_EQ(entries[3].payload, 5U);  // links are indices into the shared vector
  EXPECT_EQ(entries[4].offset, 8U);
  auto error = append_strict_tape("[1, [2, x]]", 0, 0, entries);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "unexpected character");
  EXPECT_EQ(entries.size(), 6U);
}

TEST(TapeRendering, SummaryAndTruncatedEntries) {
  const Tape tape = parse_ok("[-1]", 5);
  const JsonValue summary = tape.to_json_value(false, 10);
  EXPECT_EQ(to_compact_string(summary), R"({"root_index":0,"data_span":[5,9],"entry_count":3})");
  const JsonValue two = tape.to_json_value(true, 2);
  EXPECT_EQ(to_compact_string(two),
            R"({"root_index":0,"data_span":[5,9],"entry_count":3,"entries":[)"
            R"({"t":"array_start","offset":5,"length":1,"payload":2},)"
            R"({"t":"number_i64","offset":6,"length":2,"payload":18446744073709551615}],)"
            R"("entries_truncated":true})");
  const JsonValue all = tape.to_json_value(true, 3);
  EXPECT_EQ(all.find("entries")->as_array().size(), 3U);
  EXPECT_FALSE(all.find("entries_truncated")->as_bool());
}

// ---- Agreement with the strict parser ----

// Random JSON texts, some then damaged byte by byte.
class DocumentGenerator {
 public:
  explicit DocumentGenerator(unsigned seed) : rng_(seed) {}

  std::string value(int depth) {
    switch (pick(depth > 3 ? 6 : 8)) {
      case 0: return "null";
      case 1: return pick(2) ? "true" : "false";
      case 2: return std::to_string(static_cast<int>(pick(2000)) - 1000);
      case 3: return pick(2) ? "1.5e3" : "-0.25";
      case 4:
      case 5: return string();
      case 6: return container(depth, '[', ']', false);
      default: return container(depth, '{', '}', true);
    }
  }

  std::string damaged(std::string text) {
    const char noise[] = {',', ']', '}', '[', '{', '"', '\\', ':', ' ', '1', 'x', '\t'};
    const std::size_t edits = 1 + pick(3);
    for (std::size_t i = 0; i < edits && !text.empty(); ++i) {
      const std::size_t at = pick(text.size());
      switch (pick(3)) {
        case 0: text.erase(at, 1); break;
        case 1: text.insert(at, 1, noise[pick(sizeof noise)]); break;
        default: text[at] = noise[pick(sizeof noise)]; break;
      }
    }
    return text;
  }

 private:
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

  std::string string() {
    const char* pieces[] = {"a", "b c", "\\\"", "\\n", "\\u00e9", "\xc3\xa9", ",", "]", "\\\\", "{"};
    std::string s = "\"";
    for (std::size_t i = pick(4); i > 0; --i) s += pieces[pick(10)];
    return s + "\"";
  }

  std::string container(int depth, char open, char close, bool object) {
    std::string s(1, open);
    const std::size_t n = pick(4);
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) s += pick(3) ? "," : " , ";
      if (object) s += string() + (pick(2) ? ":" : " : ");
      s += value(depth + 1);
    }
    return s + close;
  }

  std::mt19937 rng_;
};

// One entry per scalar, string and key, two per container.
std::size_t entry_count(const JsonValue& v) {
  if (v.is_array()) {
    std::size_t n = 2;
    for (const JsonValue& item : v.as_array()) n += entry_count(item);
    return n;
  }
  if (v.is_object()) {
    std::size_t n = 2;
    for (const JsonMember& m : v.as_object()) n += 1 + entry_count(m.value);
    return n;
  }
  return 1;
}

bool links_are_consistent(const TapeEntries& entries) {
  std::vector<std::size_t> open;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const K k = entries[i].kind;
    if (k == K::ArrayStart || k == K::ObjectStart) open.push_back(i);
    if (k == K::ArrayEnd || k == K::ObjectEnd) {
      if (open.empty() || entries[open.back()].payload != i) return false;
      open.pop_back();
    }
  }
  return open.empty();
}

TEST(ParseStrictTape, AcceptsExactlyWhatTheStrictParserAccepts) {
  DocumentGenerator gen(20240611);
  int accepted = 0, rejected = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string text = gen.value(0);
    if (i % 2 == 1) text = gen.damaged(std::move(text));
    if (!is_valid_utf8(text)) continue;
    auto strict = parse_strict_json(text);
    auto tape = parse_strict_tape(text, 0);
    ASSERT_EQ(strict.ok(), tape.ok()) << text;
    if (tape.ok()) {
      ++accepted;
      EXPECT_EQ(tape.value().entries.size(), entry_count(strict.value())) << text;
      EXPECT_TRUE(links_are_consistent(tape.value().entries)) << text;
    } else {
      ++rejected;
    }
  }
  EXPECT_GT(accepted, 1000);
  EXPECT_GT(rejected, 500);
}

}  // namespace
}  // namespace velvin
