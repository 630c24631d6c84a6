#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "repair/extract.hpp"

namespace velvin {
namespace {

struct ExpectedStrip {
  Op op;
  Span span;
};

struct ExtractCase {
  const char* name;
  std::string input;
  std::string text;
  std::string method;
  Span span;
  bool truncated;
  std::vector<ExpectedStrip> repairs;
};

void PrintTo(const ExtractCase& c, std::ostream* os) { *os << c.name; }

class ExtractTable : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractTable, FindsTheCandidate) {
  const ExtractCase& c = GetParam();
  const Extraction got = extract_json_candidate(c.input);
  EXPECT_EQ(got.text, c.text);
  EXPECT_EQ(got.method, c.method);
  EXPECT_EQ(got.span, c.span);
  EXPECT_EQ(got.truncated, c.truncated);
  ASSERT_EQ(got.repairs.size(), c.repairs.size());
  for (std::size_t i = 0; i < c.repairs.size(); ++i) {
    const RepairAction& a = got.repairs[i];
    EXPECT_EQ(a.op(), c.repairs[i].op) << i;
    EXPECT_EQ(a.origin(), Origin{Stage::Extraction}) << i;
    EXPECT_EQ(a.span(), std::optional<Span>(c.repairs[i].span)) << i;
    EXPECT_DOUBLE_EQ(a.cost_delta, op_cost(c.repairs[i].op, Stage::Extraction).fixed()) << i;
    EXPECT_FALSE(a.at() || a.token() || a.note_kind() != NoteKind::None) << i;
  }
}

const std::string kFence = "```";

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtractTable,
    ::testing::Values(
        ExtractCase{"empty", "", "", "no_json_found", {0, 0}, true, {}},
        ExtractCase{"prose_only", "no json here", "no json here", "no_json_found", {0, 12}, true, {}},
        ExtractCase{"whole_object", "{\"a\": 1}", "{\"a\": 1}", "brace_scan", {0, 8}, false, {}},
        // JSON white space around the value is part of valid JSON, not text to strip; other
        // white space (here U+00A0) is.
        ExtractCase{"json_space_around", " \t\r\n{\"a\": 1}\n", "{\"a\": 1}", "brace_scan", {4, 12},
                    false, {}},
        ExtractCase{"nbsp_before", "\xC2\xA0[1] ", "[1]", "brace_scan", {2, 5}, false,
                    {{Op::StripPrefixText, {0, 2}}}},
        ExtractCase{"prose_around",
                    "Here it is: {\"a\": 1} thanks",
                    "{\"a\": 1}",
                    "brace_scan",
                    {12, 20},
                    false,
                    {{Op::StripPrefixText, {0, 12}}, {Op::StripSuffixText, {20, 27}}}},
        ExtractCase{"fence_upper_tag",
                    kFence + "JSON\n[1,2]\n" + kFence,
                    "[1,2]",
                    "code_fence",
                    {8, 14},
                    false,
                    {{Op::StripPrefixText, {0, 8}},
                     {Op::StripSuffixText, {14, 17}},
                     {Op::StripCodeFence, {0, 17}}}},
        ExtractCase{"fence_untagged_in_prose",
                    "See:\n" + kFence + "\n {\"a\": 1} \n" + kFence + "\nBye",
                    "{\"a\": 1}",
                    "code_fence",
                    {10, 20},
                    false,
                    {{Op::StripPrefixText, {0, 10}},
                     {Op::StripSuffixText, {20, 27}},
                     {Op::StripCodeFence, {5, 23}}}},
        // U+3000 and U+00A0 around the content are trimmed, but the span stays untrimmed.
        ExtractCase{"fence_unicode_space",
                    kFence + "json\xE3\x80\x80[1]\xC2\xA0" + kFence,
                    "[1]",
                    "code_fence",
                    {7, 15},
                    false,
                    {{Op::StripPrefixText, {0, 7}},
                     {Op::StripSuffixText, {15, 18}},
                     {Op::StripCodeFence, {0, 18}}}},
        ExtractCase{"fence_python_tag",
                    kFence + "python\n{\"a\": 1}\n" + kFence,
                    "{\"a\": 1}",
                    "brace_scan",
                    {10, 18},
                    false,
                    {{Op::StripPrefixText, {0, 10}}, {Op::StripSuffixText, {18, 22}}}},
        ExtractCase{"fence_unclosed_truncated",
                    kFence + "json\n{\"a\": [1",
                    "{\"a\": [1",
                    "brace_scan",
                    {8, 16},
                    true,
                    {{Op::StripPrefixText, {0, 8}}}},
        ExtractCase{"fence_empty", kFence + "json\n\n" + kFence + " [1] ", "[1]", "brace_scan",
                    {13, 16}, false,
                    {{Op::StripPrefixText, {0, 13}}}},
        // Only the first fence counts: the second, valid one is ignored.
        ExtractCase{"first_fence_only",
                    kFence + "text\nhi\n" + kFence + " " + kFence + "json\n{}\n" + kFence,
                    "{}",
                    "brace_scan",
                    {23, 25},
                    false,
                    {{Op::StripPrefixText, {0, 23}}, {Op::StripSuffixText, {25, 29}}}},
        ExtractCase{"brace_in_string", "{\"a\": \"}\"}", "{\"a\": \"}\"}", "brace_scan", {0, 10},
                    false, {}},
        ExtractCase{"escaped_quote_in_string", "x {\"a\": \"\\\"}\"} y", "{\"a\": \"\\\"}\"}",
                    "brace_scan", {2, 14}, false,
                    {{Op::StripPrefixText, {0, 2}}, {Op::StripSuffixText, {14, 16}}}},
        ExtractCase{"counters_independent", "{\"a\": [1, 2}", "{\"a\": [1, 2}", "brace_scan",
                    {0, 12}, true, {}},
        ExtractCase{"array_first", "Items: [{\"a\": 1}, {\"b\": 2}] done",
                    "[{\"a\": 1}, {\"b\": 2}]", "brace_scan", {7, 27}, false,
                    {{Op::StripPrefixText, {0, 7}}, {Op::StripSuffixText, {27, 32}}}},
        // Single quotes do not open strings, so the bracket inside one counts.
        ExtractCase{"single_quotes_not_strings", "{'a': ']'} tail", "{'a': ']'} tail",
                    "brace_scan", {0, 15}, true, {}},
        // A "]" does not balance a "{": the scan stops only when both counters meet at 0.
        ExtractCase{"counters_meet_at_zero", "{]}[ x", "{]}[", "brace_scan", {0, 4}, false,
                    {{Op::StripSuffixText, {4, 6}}}}),
    [](const ::testing::TestParamInfo<ExtractCase>& p) { return std::string(p.param.name); });

TEST(Extract, CutsNeverSplitACharacter) {
  const std::string input = "Voil\xC3\xA0 : {\"k\": \"\xE2\x82\xAC\"} \xF0\x9F\x98\x80";
  const Extraction got = extract_json_candidate(input);
  EXPECT_EQ(got.text, "{\"k\": \"\xE2\x82\xAC\"}");
  EXPECT_EQ(got.span, (Span{9, 21}));
}

// `size` bytes: `head`, then `fill` repeated. (Built in place: g++ 12 misreads `"[" + string`
// as an overlapping copy.)
std::string flood(std::string_view head, std::size_t size, char fill) {
  std::string out(size, fill);
  std::copy(head.begin(), head.end(), out.begin());
  return out;
}

TEST(Extract, HugeInputsOfOneByteFinish) {
  const std::size_t n = 1 << 20;
  const Extraction brackets = extract_json_candidate(std::string(n, '['));
  EXPECT_TRUE(brackets.truncated);
  EXPECT_EQ(brackets.text.size(), n);

  const Extraction ticks = extract_json_candidate(std::string(n, '`'));
  EXPECT_EQ(ticks.method, "no_json_found");

  const Extraction quotes = extract_json_candidate(flood("[", n + 1, '"'));
  EXPECT_EQ(quotes.method, "brace_scan");
  EXPECT_TRUE(quotes.truncated);

  const Extraction backslashes = extract_json_candidate(flood("[\"", n + 3, '\\'));
  EXPECT_TRUE(backslashes.truncated);
  EXPECT_EQ(backslashes.span, (Span{0, n + 3}));
}

TEST(Extract, NulBytesAreOrdinaryBytes) {
  const std::string input("\0[\0]\0", 5);
  const Extraction got = extract_json_candidate(input);
  EXPECT_EQ(got.text, std::string("[\0]", 3));
  EXPECT_EQ(got.span, (Span{1, 4}));
}

// The bracket scan one byte at a time, as plainly as it can be written.
Extraction reference_scan(std::string_view text) {
  const std::size_t start = text.find_first_of("{[");
  Extraction out;
  if (start == std::string_view::npos) {
    out.text = std::string(text);
    out.span = Span{0, text.size()};
    out.truncated = true;
    return out;
  }
  long braces = 0, brackets = 0;
  bool in_string = false, escaped = false, stopped = false;
  std::size_t end = text.size();
  for (std::size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
      continue;
    }
    braces += (c == '{') - (c == '}');
    brackets += (c == '[') - (c == ']');
    if (braces == 0 && brackets == 0) {
      end = i + 1;
      stopped = true;
      break;
    }
  }
  out.truncated = !stopped;
  out.text = std::string(text.substr(start, end - start));
  out.span = Span{start, end};
  return out;
}

// Long random texts of brackets, quotes and backslashes, so that strings and escapes cross the
// 64-byte blocks the scan works in.
TEST(Extract, BracketScanAgreesWithAByteByByteScan) {
  const std::vector<std::string> pieces = {"{", "}", "[", "]", "\"", "\\", "\\\\", "\\\"", "a",
                                           "    ", "x: 1, ", "'", "\xC3\xA9", std::string(1, '\0')};
  std::mt19937 rng(3);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 200);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (int i = length(rng); i > 0; --i) text += pieces[pick(rng)];
    if (text.find("```") != std::string::npos) continue;
    const Extraction got = extract_json_candidate(text);
    const Extraction want = reference_scan(text);
    ASSERT_EQ(got.span, want.span) << text;
    ASSERT_EQ(got.text, want.text) << text;
    ASSERT_EQ(got.truncated, want.truncated) << text;
  }
}

// A valid document with at most white space around it is found without the bracket scan, and
// only where the scan would take exactly it; a fence of JSON, even inside a string, is left to
// the scan's fence stage.
TEST(Extract, BracketedDocumentIsWhatTheScanTakes) {
  const std::vector<std::pair<std::string, std::optional<Span>>> cases = {
      {R"({"a": 1})", Span{0, 8}},
      {" \n[1, [2]]\r\n\t", Span{2, 10}},
      {R"({"c": "```sh ls ```"})", Span{0, 21}},
      {R"({"c": "``` [1] ```"})", std::nullopt},
      {R"(x {"a": 1})", std::nullopt},
      {R"({"a": 1} x)", std::nullopt},
      {"\xEF\xBB\xBF[1]", std::nullopt},
      {"[", std::nullopt},
      {"\"[1]\"", std::nullopt},
  };
  for (const auto& [text, span] : cases) {
    const std::optional<Extraction> quick = bracketed_document_extraction(text);
    ASSERT_EQ(quick.has_value(), span.has_value()) << text;
    if (!quick) continue;
    const Extraction scanned = extract_json_candidate(text);
    EXPECT_EQ(quick->span, *span) << text;
    EXPECT_EQ(scanned.span, quick->span) << text;
    EXPECT_EQ(scanned.method, quick->method) << text;
    EXPECT_TRUE(scanned.repairs.empty() && !scanned.truncated) << text;
  }
}

// ---- splitting a text into its values ----

struct SplitCase {
  const char* name;
  std::string input;
  std::vector<std::string> values;  // the text of each span, in order
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class SplitTable : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTable, FindsEveryValue) {
  const SplitCase& c = GetParam();
  std::vector<std::string> got;
  for (const Span& s : split_json_candidates(c.input)) {
    ASSERT_LE(s.start, s.end);
    ASSERT_LE(s.end, c.input.size());
    got.push_back(c.input.substr(s.start, s.end - s.start));
  }
  EXPECT_EQ(got, c.values);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitTable,
    ::testing::Values(
        SplitCase{"empty", "", {}},
        SplitCase{"prose_only", "no json ] here }", {}},
        SplitCase{"side_by_side", R"({"a":1}{"b":2}[3])", {R"({"a":1})", R"({"b":2})", "[3]"}},
        SplitCase{"json_lines", "{\"a\": 1}\r\n[1, 2]\n\n{\"c\": \"}\"}\n",
                  {"{\"a\": 1}", "[1, 2]", "{\"c\": \"}\"}"}},
        SplitCase{"prose_with_two", "First {a: 1}, then [2, 3]. Done.", {"{a: 1}", "[2, 3]"}},
        SplitCase{"two_fences",
                  kFence + "json\n{\"a\": 1}\n" + kFence + "\ntext [x]\n" + kFence + "\n[2]\n" + kFence,
                  {kFence + "json\n{\"a\": 1}\n" + kFence, "[x]", kFence + "\n[2]\n" + kFence}},
        // Another language's fence is prose: the brackets inside it are read.
        SplitCase{"python_fence", kFence + "python\nd = {'a': 1}\n" + kFence + "\n[2]",
                  {"{'a': 1}", "[2]"}},
        SplitCase{"unclosed_fence", kFence + "json\n{\"a\": [1", {"{\"a\": [1"}},
        // Brackets inside strings do not count; escaped quotes do not end them.
        SplitCase{"strings", R"x({"a": "]}\"{"} [")"] {)x", {R"x({"a": "]}\"{"})x", R"x([")"])x", "{"}},
        // A closer that skips an open bracket closes it too; one that matches nothing is passed.
        SplitCase{"mismatched_closer", "{\"a\": [1, 2}\n{\"b\": 2}", {"{\"a\": [1, 2}", "{\"b\": 2}"}},
        SplitCase{"stray_closer_inside", "[1, 2}] [3]", {"[1, 2}]", "[3]"}},
        SplitCase{"cut_off_last", "[1] {\"a\": [2, ", {"[1]", "{\"a\": [2, "}}));

// Many small values and one far fence: each is found in one pass.
TEST(Split, ManyValuesAreFoundInOrder) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "[" + std::to_string(i) + "] ";
  text += kFence;
  const std::vector<Span> spans = split_json_candidates(text);
  ASSERT_EQ(spans.size(), 20000u);
  EXPECT_EQ(text.substr(spans[19999].start, spans[19999].end - spans[19999].start), "[19999]");
}

}  // namespace
}  // namespace velvin
