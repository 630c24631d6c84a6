#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/scan.hpp"
#include "repair/heuristic.hpp"
#include "core/json.hpp"

namespace velvin {
namespace {

// Expected actions, with the registry's cost; a note given here is compared with the note the
// heuristic's action renders from the text it indexes.
RepairAction whole(Op op) {
  return RepairAction::make(op, {Stage::Heuristic}, op_cost(op, Stage::Heuristic).fixed());
}

RepairAction spanned(Op op, std::uint64_t start, std::uint64_t end,
                     std::optional<std::string> note = std::nullopt) {
  RepairAction a = whole(op);
  a.set_span(Span{start, end});
  if (note) a.set_note(*note);
  return a;
}

RepairAction at(Op op, std::uint64_t pos) {
  RepairAction a = whole(op);
  a.set_at(pos);
  return a;
}

RepairAction closers(std::uint64_t pos, std::uint64_t braces, std::uint64_t brackets) {
  RepairAction a = at(Op::CloseContainers, pos);
  a.cost_delta = op_cost(Op::CloseContainers, Stage::Heuristic).for_units(braces + brackets);
  a.set_container_counts(braces, brackets);
  return a;
}

// The actions as rendered, each note built from the text its pass started from.
std::string describe(const std::vector<RepairAction>& actions,
                     const std::vector<std::string>& pass_texts = {}) {
  StageTexts texts;
  texts.heuristic = pass_texts;
  std::string out;
  for (const RepairAction& a : actions) {
    out += to_compact_string(a.to_json_value(texts.text_of(a.origin()))) + "\n";
  }
  return out;
}

using Tweak = std::function<void(RepairOptions&)>;

struct HeuristicCase {
  const char* name;
  std::string input;
  std::string output;
  std::vector<RepairAction> actions;
  Tweak tweak = nullptr;
};

void PrintTo(const HeuristicCase& c, std::ostream* os) { *os << c.name; }

class HeuristicTable : public ::testing::TestWithParam<HeuristicCase> {};

TEST_P(HeuristicTable, RewritesAndRecords) {
  const HeuristicCase& c = GetParam();
  RepairOptions options;
  if (c.tweak) c.tweak(options);
  const HeuristicResult got = heuristic_repair(c.input, options);
  EXPECT_EQ(got.text, c.output);
  EXPECT_EQ(describe(got.repairs, got.pass_texts), describe(c.actions));
  for (const RepairAction& a : got.repairs) {
    EXPECT_EQ(a.origin().stage, Stage::Heuristic);
    EXPECT_LT(a.origin().step, got.pass_texts.size());  // the text its offsets index is kept
  }
}

const Tweak kNoPythonLiterals = [](RepairOptions& o) { o.allow_python_literals = false; };
const std::string kCurlyOpen = "\xE2\x80\x9C";    // U+201C
const std::string kCurlyClose = "\xE2\x80\x9D";   // U+201D
const std::string kSingleOpen = "\xE2\x80\x98";   // U+2018
const std::string kApostrophe = "\xE2\x80\x99";   // U+2019

INSTANTIATE_TEST_SUITE_P(
    Passes, HeuristicTable,
    ::testing::Values(
        HeuristicCase{"valid_unchanged", "{\"a\": [1, -2.5e3, 1E+5, true, null], \"b\": \"x\"}",
                      "{\"a\": [1, -2.5e3, 1E+5, true, null], \"b\": \"x\"}", {}},
        // Typographic quotes.
        HeuristicCase{"smart_quotes_value", "{\"a\": " + kCurlyOpen + "hello" + kCurlyClose + "}",
                      "{\"a\": \"hello\"}", {whole(Op::FixSmartQuotes)}},
        HeuristicCase{"smart_quotes_everywhere",
                      "{" + kCurlyOpen + "a" + kCurlyClose + ": " + kSingleOpen + "b" +
                          kApostrophe + "}",
                      "{\"a\": \"b\"}",
                      {whole(Op::FixSmartQuotes), spanned(Op::ConvertSingleQuotes, 6, 9)}},
        HeuristicCase{"smart_quotes_inside_string_kept",
                      "[\"he said " + kCurlyOpen + "hi" + kCurlyClose + "\", 1,]",
                      "[\"he said " + kCurlyOpen + "hi" + kCurlyClose + "\", 1]",
                      {at(Op::RemoveTrailingComma, 22)}},
        HeuristicCase{"apostrophe_inside_string_kept", "[\"it" + kApostrophe + "s\", 1,]",
                      "[\"it" + kApostrophe + "s\", 1]", {at(Op::RemoveTrailingComma, 12)}},
        HeuristicCase{"smart_quotes_mixed",
                      "{" + kCurlyOpen + "k" + kCurlyClose + ": \"a \\\"" + kCurlyOpen + "b" +
                          kCurlyClose + "\"}",
                      "{\"k\": \"a \\\"" + kCurlyOpen + "b" + kCurlyClose + "\"}",
                      {whole(Op::FixSmartQuotes)}},
        // A typographic string keeps its escaped ASCII quotes and its apostrophes.
        HeuristicCase{"smart_quoted_string_with_escaped_quotes",
                      "{\"t\": " + kCurlyOpen + "say \\\"hi\\\" it" + kApostrophe + "s" +
                          kCurlyClose + ", " + kCurlyOpen + "n" + kCurlyClose + ": 1}",
                      "{\"t\": \"say \\\"hi\\\" it" + kApostrophe + "s\", \"n\": 1}",
                      {whole(Op::FixSmartQuotes)}},
        HeuristicCase{"smart_quote_closed_by_ascii_quote",
                      "[" + kCurlyOpen + "a\", " + kCurlyOpen + "b" + kCurlyClose + "]",
                      "[\"a\", \"b\"]", {whole(Op::FixSmartQuotes)}},
        // Comments.
        HeuristicCase{"line_comment", "{\"a\": 1, // note\n\"b\": 2}", "{\"a\": 1, \n\"b\": 2}",
                      {spanned(Op::StripLineComment, 9, 16)}},
        HeuristicCase{"line_comment_to_end", "[1] // done", "[1] ",
                      {spanned(Op::StripLineComment, 4, 11)}},
        HeuristicCase{"line_comment_carriage_return", "[1, //x\r2]", "[1, \r2]",
                      {spanned(Op::StripLineComment, 4, 7)}},
        HeuristicCase{"slashes_in_string", "{\"u\": \"http://x/*y*/\"}",
                      "{\"u\": \"http://x/*y*/\"}", {}},
        HeuristicCase{"slashes_in_single_quoted_string", "{'url': 'http://x.com/a'}",
                      "{\"url\": \"http://x.com/a\"}",
                      {spanned(Op::ConvertSingleQuotes, 1, 6),
                       spanned(Op::ConvertSingleQuotes, 8, 24)}},
        HeuristicCase{"block_comment", "[1, /* two */ 2]", "[1,  2]",
                      {spanned(Op::StripBlockComment, 4, 13)}},
        HeuristicCase{"block_comment_own_star_does_not_close", "[1/*/ x */]", "[1]",
                      {spanned(Op::StripBlockComment, 2, 10)}},
        HeuristicCase{"block_comment_unclosed", "[1] /* tail", "[1] ",
                      {spanned(Op::StripBlockComment, 4, 11)}},
        HeuristicCase{"lone_slash_kept", "[1, /**/ 2] /", "[1,  2] /",
                      {spanned(Op::StripBlockComment, 4, 8)}},
        HeuristicCase{"comments_off", "[1, /**/ 2]", "[1, /**/ 2]", {},
                      [](RepairOptions& o) { o.allow_comments = false; }},
        // Bare keys.
        HeuristicCase{"bare_key", "{a: 1}", "{\"a\": 1}",
                      {spanned(Op::WrapUnquotedKey, 1, 2, "a -> \"a\"")}},
        HeuristicCase{"bare_keys_spaced", "{ key_1 : \"v\", b2:3}", "{ \"key_1\" : \"v\", \"b2\":3}",
                      {spanned(Op::WrapUnquotedKey, 2, 7, "key_1 -> \"key_1\""),
                       spanned(Op::WrapUnquotedKey, 15, 17, "b2 -> \"b2\"")}},
        HeuristicCase{"literal_keys_left", "{true: 1, NULL: 2}", "{true: 1, NULL: 2}", {}},
        HeuristicCase{"word_in_single_quotes_not_a_key", "{\"a\": 'b: c'}", "{\"a\": \"b: c\"}",
                      {spanned(Op::ConvertSingleQuotes, 6, 12)}},
        HeuristicCase{"bare_keys_off", "{a: 1}", "{a: 1}", {},
                      [](RepairOptions& o) { o.allow_unquoted_keys = false; }},
        // Single quotes.
        HeuristicCase{"single_quotes_escaped_quote", "{'a': 'it\\'s'}", "{\"a\": \"it's\"}",
                      {spanned(Op::ConvertSingleQuotes, 1, 4),
                       spanned(Op::ConvertSingleQuotes, 6, 13)}},
        HeuristicCase{"single_quotes_inner_double", "['say \"hi\"', 'a\\nb']",
                      "[\"say \\\"hi\\\"\", \"a\\nb\"]",
                      {spanned(Op::ConvertSingleQuotes, 1, 11),
                       spanned(Op::ConvertSingleQuotes, 13, 19)}},
        HeuristicCase{"single_quote_inside_double_kept", "[\"it's\", 1,]", "[\"it's\", 1]",
                      {at(Op::RemoveTrailingComma, 10)}},
        HeuristicCase{"single_quote_unterminated", "['abc", "[\"abc\"]",
                      {at(Op::CloseOpenString, 5),
                       closers(5, 0, 1)}},
        HeuristicCase{"single_quotes_off", "{\"a\": 'b'}", "{\"a\": 'b'}", {},
                      [](RepairOptions& o) { o.allow_single_quotes = false; }},
        // Bare values and Python literals.
        HeuristicCase{"bare_values", "[foo, bar]", "[\"foo\", \"bar\"]",
                      {spanned(Op::WrapUnquotedValue, 1, 4, "foo -> \"foo\""),
                       spanned(Op::WrapUnquotedValue, 6, 9, "bar -> \"bar\"")}},
        HeuristicCase{"bare_value_with_digits", "[a1b2]", "[\"a1b2\"]",
                      {spanned(Op::WrapUnquotedValue, 1, 5, "a1b2 -> \"a1b2\"")}},
        HeuristicCase{"literal_values_lowered", "[TRUE, Null]", "[true, null]", {}},
        HeuristicCase{"bare_value_in_object_left", "{\"a\": foo}", "{\"a\": foo}", {}},
        HeuristicCase{"bare_values_off", "[foo]", "[foo]", {},
                      [](RepairOptions& o) { o.allow_unquoted_values = false; }},
        HeuristicCase{"python_none_in_object_and_list", "{\"a\": None, \"b\": [None]}",
                      "{\"a\": null, \"b\": [null]}",
                      {spanned(Op::MapPythonLiteral, 6, 10, "None->null"),
                       spanned(Op::MapPythonLiteral, 18, 22, "None->null")}},
        HeuristicCase{"python_undefined_in_list", "[undefined, True]", "[null, true]",
                      {spanned(Op::MapPythonLiteral, 1, 10, "undefined->null")}},
        HeuristicCase{"python_booleans", "{\"a\": True, \"b\": False}",
                      "{\"a\": true, \"b\": false}",
                      {spanned(Op::MapPythonLiteral, 6, 10, "True->true"),
                       spanned(Op::MapPythonLiteral, 17, 22, "False->false")}},
        HeuristicCase{"python_literals_off_none_is_text", "[None]", "[\"None\"]",
                      {spanned(Op::WrapUnquotedValue, 1, 5, "None -> \"None\"")},
                      kNoPythonLiterals},
        HeuristicCase{"python_literals_off_object_untouched", "{\"a\": None}", "{\"a\": None}", {},
                      kNoPythonLiterals},
        HeuristicCase{"python_words_inside_identifiers_left", "{\"a\": Nonesuch, \"b\": xTrue}",
                      "{\"a\": Nonesuch, \"b\": xTrue}", {}},
        // Commas.
        HeuristicCase{"missing_comma_between_members", "{\"a\": 1 \"b\": 2}",
                      "{\"a\": 1, \"b\": 2}", {at(Op::InsertMissingComma, 8)}},
        HeuristicCase{"missing_comma_before_line_break", "[\"a\"\n  \"b\"]", "[\"a\",\n  \"b\"]",
                      {at(Op::InsertMissingComma, 7)}},
        HeuristicCase{"missing_comma_between_containers", "[{}{} [] -1]", "[{},{}, [], -1]",
                      {at(Op::InsertMissingComma, 3), at(Op::InsertMissingComma, 6),
                       at(Op::InsertMissingComma, 9)}},
        HeuristicCase{"missing_comma_between_literals", "[true false]", "[true, false]",
                      {at(Op::InsertMissingComma, 6)}},
        HeuristicCase{"missing_comma_after_stray_byte", "[1 ) 2]", "[1 ), 2]",
                      {at(Op::InsertMissingComma, 5)}},
        HeuristicCase{"trailing_comma", "[1, 2, ]", "[1, 2 ]", {at(Op::RemoveTrailingComma, 5)}},
        HeuristicCase{"trailing_commas_nested", "{\"a\": [1,],\n}", "{\"a\": [1]\n}",
                      {at(Op::RemoveTrailingComma, 8), at(Op::RemoveTrailingComma, 10)}},
        HeuristicCase{"trailing_comma_at_end", "[1,", "[1]",
                      {at(Op::RemoveTrailingComma, 2),
                       closers(2, 0, 1)}},
        HeuristicCase{"comma_in_string_kept", "[\"a,]\"]", "[\"a,]\"]", {}},
        // Open strings and containers.
        HeuristicCase{"close_containers", "{\"a\": [1, 2", "{\"a\": [1, 2]}",
                      {closers(11, 1, 1)}},
        // Closers come innermost first (the counts, cost and note are those of the counts).
        HeuristicCase{"closers_follow_nesting", "[{\"a\": 1", "[{\"a\": 1}]",
                      {closers(8, 1, 1)}},
        HeuristicCase{"closers_follow_deep_nesting", "{\"a\": [1, {\"b\": [2, [3",
                      "{\"a\": [1, {\"b\": [2, [3]]}]}",
                      {closers(22, 2, 3)}},
        // A closer in excess balances a later opener by count (`}:{[` leaves only the bracket to
        // close), and the openers it balances are the outermost of their kind.
        HeuristicCase{"closers_in_excess_balance_by_count", "}:{[", "}:{[]",
                      {closers(4, 0, 1)}},
        HeuristicCase{"closers_in_excess_skip_outermost", "]:{[{[", "]:{[{[]}}",
                      {closers(6, 2, 1)}},
        HeuristicCase{"close_open_string", "{\"a\": \"abc", "{\"a\": \"abc\"}",
                      {at(Op::CloseOpenString, 10), closers(10, 1, 0)}},
        HeuristicCase{"extra_closers_clamped", "[1]]}", "[1]]}", {}},
        // Several passes: positions are offsets into each pass's own input.
        HeuristicCase{"passes_in_sequence", "{a: 'x', // c\n b: [None,]}",
                      "{\"a\": \"x\", \n \"b\": [null]}",
                      {spanned(Op::StripLineComment, 9, 13),
                       spanned(Op::WrapUnquotedKey, 1, 2, "a -> \"a\""),
                       spanned(Op::WrapUnquotedKey, 11, 12, "b -> \"b\""),
                       spanned(Op::ConvertSingleQuotes, 6, 9),
                       spanned(Op::MapPythonLiteral, 19, 23, "None->null"),
                       at(Op::RemoveTrailingComma, 23)}}),
    [](const ::testing::TestParamInfo<HeuristicCase>& p) { return std::string(p.param.name); });

TEST(Heuristic, InvalidUtf8BecomesReplacementCharacters) {
  const HeuristicResult got = heuristic_repair("[\"a\xFF\", 1,]", RepairOptions{});
  EXPECT_EQ(got.text, "[\"a\xEF\xBF\xBD\", 1]");
  EXPECT_EQ(describe(got.repairs), describe({at(Op::RemoveTrailingComma, 10)}));
}

// Repairs past max_total_repairs (less those the document already carries) stop the passes at
// the first one past it; up to the limit the result is the unlimited one.
struct LimitCase {
  std::string input;
  std::uint64_t limit;
  std::uint64_t prior;
  std::optional<std::uint64_t> over_at;  // where the repair past the limit was wanted
};

TEST(Heuristic, RepairLimit) {
  const LimitCase cases[] = {
      {"[1 1 1 1]", 3, 0, std::nullopt},
      {"[1 1 1 1]", 2, 0, 7},
      {"[1 1 1 1]", 3, 1, 7},
      {"[1 1 1 1]", 3, 4, 3},  // the extraction's repairs alone are more
      {"[[1 1", 1, 0, 6},      // the last pass: its closers go at the end of "[[1, 1"
      {"[[1 1", 2, 0, std::nullopt},
  };
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.input + " limit " + std::to_string(c.limit) + " prior " +
                 std::to_string(c.prior));
    RepairOptions options;
    options.max_total_repairs = c.limit;
    const HeuristicResult got = heuristic_repair(c.input, options, c.prior);
    const HeuristicResult every = detail::heuristic_repair_every_pass(c.input, options, c.prior);
    EXPECT_EQ(every.text, got.text);
    EXPECT_EQ(every.repairs, got.repairs);
    if (!c.over_at) {
      const HeuristicResult unlimited = heuristic_repair(c.input, RepairOptions{});
      EXPECT_FALSE(got.over_limit.has_value());
      EXPECT_EQ(got.text, unlimited.text);
      EXPECT_EQ(got.repairs, unlimited.repairs);
      continue;
    }
    ASSERT_TRUE(got.over_limit.has_value());
    EXPECT_EQ(got.over_limit->code, ErrorCode::repair_limit_exceeded);
    EXPECT_EQ(got.over_limit->position, *c.over_at);
    EXPECT_EQ(got.over_limit->message,
              "the document needs more repairs than max_total_repairs allows (" +
                  std::to_string(c.limit) + "); the heuristic repair went past the limit at byte " +
                  std::to_string(*c.over_at) + " of the text its pass started from");
    EXPECT_EQ(got.repairs.size(), c.limit > c.prior ? c.limit - c.prior : 0);
  }
}

TEST(Heuristic, OneByteFloodsFinishWithOneActionPerChange) {
  const std::size_t n = 1 << 20;
  RepairOptions options;
  options.max_total_repairs = UINT64_MAX;  // the floods' repairs, past the default limit

  const HeuristicResult brackets = heuristic_repair(std::string(n, '['), options);
  EXPECT_EQ(brackets.text, std::string(n, '[') + std::string(n, ']'));
  ASSERT_EQ(brackets.repairs.size(), 1u);
  EXPECT_EQ(brackets.repairs[0].note(""), "brace=0, bracket=" + std::to_string(n));

  // Each '' becomes "", and then every "" after the first gets a comma in front.
  const HeuristicResult singles = heuristic_repair(std::string(n, '\''), options);
  EXPECT_EQ(singles.repairs.size(), n / 2 + n / 2 - 1);
  EXPECT_EQ(singles.text.size(), n + n / 2 - 1);

  const HeuristicResult doubles = heuristic_repair(std::string(n, '"'), options);
  EXPECT_EQ(doubles.repairs.size(), n / 2 - 1);

  const HeuristicResult ticks = heuristic_repair(std::string(n, '`'), options);
  EXPECT_TRUE(ticks.repairs.empty());

  const HeuristicResult slashes = heuristic_repair(std::string(n, '/'), options);
  ASSERT_EQ(slashes.repairs.size(), 1u);
  EXPECT_EQ(slashes.text, "");

  const HeuristicResult escapes = heuristic_repair("[\"" + std::string(n, '\\'), options);
  EXPECT_EQ(escapes.repairs.size(), 2u);  // the string and the bracket are closed
}

// Valid JSON has nothing to repair, whatever it holds: numbers with exponents, escapes,
// non-ASCII text, comment-like and quote-like bytes inside strings.
std::string random_document(std::mt19937& rng, int depth) {
  static const char* const kScalars[] = {
      "0", "-1", "12.5", "1e5", "-2.5E-3", "3E+7", "true", "false", "null", "\"\"",
      "\"a // b /* c */\"", "\"it's\"", "\"\\\"q\\\" \\\\ \\n \\u00e9\"",
      "\"\xE2\x80\x9Cquoted\xE2\x80\x9D \xE2\x80\x98x\xE2\x80\x99\"", "\"None True undefined\"",
      "\"[{,}]\"", "\"\xF0\x9F\x98\x80 caf\xC3\xA9\""};
  std::uniform_int_distribution<int> pick(0, 9);
  const int kind = depth > 3 ? 0 : pick(rng);
  if (kind < 6) {
    std::uniform_int_distribution<std::size_t> scalar(0, std::size(kScalars) - 1);
    return kScalars[scalar(rng)];
  }
  std::uniform_int_distribution<int> count(0, 4);
  const int n = count(rng);
  const bool object = kind >= 8;
  std::string out = object ? "{" : "[";
  for (int i = 0; i < n; ++i) {
    if (i > 0) out += pick(rng) < 5 ? ", " : ",\n  ";
    if (object) out += "\"k" + std::to_string(i) + "\": ";
    out += random_document(rng, depth + 1);
  }
  return out + (object ? "}" : "]");
}

TEST(Heuristic, ValidJsonComesBackUnchanged) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    const std::string doc = random_document(rng, 0);
    ASSERT_TRUE(parse_strict_json(doc).ok()) << doc;
    const HeuristicResult got = heuristic_repair(doc, RepairOptions{});
    ASSERT_EQ(got.text, doc);
    ASSERT_TRUE(got.repairs.empty()) << doc << "\n" << describe(got.repairs);
  }
}

// Arbitrary fragments under every option combination: the output is always valid UTF-8, every
// action lies inside the text of its pass (bounded by the longest text seen), and the passes
// skipped by the survey would indeed have changed nothing. Texts run to a few hundred bytes so
// that strings, escapes and runs cross the survey's 64-byte blocks.
TEST(Heuristic, RandomFragmentsKeepUtf8Valid) {
  const std::vector<std::string> kFragments = {
      "{", "}", "[", "]", "\"", "'", "\\", "/", "*", "//", "/*", "*/", ":", ",", " ", "\n",
      "\r", "a", "x", "_k", "None", "True", "False", "undefined", "true", "TRUE", "null", "Null",
      "1", "5", "e", "E", "-", "+", ".", ")", "`", "\xE2\x80\x9C", "\xE2\x80\x9D",
      "\xE2\x80\x98", "\xE2\x80\x99", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xFF",
      "\xC3", "\xE2\x80", std::string(1, '\0'), "\\\\", "\\\"", "\"a\\\\\"", "    ", "12.5",
      "\"k\": "};
  std::mt19937 rng(11);
  std::uniform_int_distribution<std::size_t> pick(0, kFragments.size() - 1);
  std::uniform_int_distribution<int> length(0, 150);
  for (int round = 0; round < 12000; ++round) {
    std::string input;
    const int n = length(rng);
    for (int i = 0; i < n; ++i) input += kFragments[pick(rng)];
    RepairOptions options;
    const unsigned mask = static_cast<unsigned>(round) % 32;
    options.allow_comments = mask & 1;
    options.allow_unquoted_keys = mask & 2;
    options.allow_single_quotes = mask & 4;
    options.allow_unquoted_values = mask & 8;
    options.allow_python_literals = mask & 16;
    const HeuristicResult got = heuristic_repair(input, options);
    ASSERT_TRUE(is_valid_utf8(got.text)) << input;
    // Passes skipped as having nothing to do must indeed have had nothing to do.
    const HeuristicResult full = detail::heuristic_repair_every_pass(input, options);
    ASSERT_EQ(got.text, full.text) << input;
    ASSERT_EQ(got.pass_texts, full.pass_texts) << input;
    ASSERT_EQ(describe(got.repairs, got.pass_texts), describe(full.repairs, full.pass_texts))
        << input;
    for (const RepairAction& a : got.repairs) {
      // Offsets index the text the action's pass started from.
      ASSERT_LT(a.origin().step, got.pass_texts.size()) << input;
      const std::size_t bound = got.pass_texts[a.origin().step].size();
      if (const auto span = a.span()) {
        ASSERT_LE(span->start, span->end);
        ASSERT_LE(span->end, bound);
      }
      if (const auto pos = a.at()) {
        ASSERT_LE(*pos, bound);
      }
      ASSERT_FALSE(a.token().has_value());
    }
  }
}

}  // namespace
}  // namespace velvin
