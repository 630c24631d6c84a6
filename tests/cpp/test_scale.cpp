#include "scale/scale.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "core/strict.hpp"

namespace velvin {

void PrintTo(const Span& s, std::ostream* os) { *os << "(" << s.start << ", " << s.end << ")"; }
void PrintTo(const TapeEntry& e, std::ostream* os) {
  *os << tape_entry_kind_name(e.kind) << "@" << e.offset << "+" << e.length << ":" << e.payload;
}

namespace {

RepairOptions with_parallel(std::string_view allow, std::size_t workers) {
  RepairOptions o;
  o.allow_parallel = std::string(allow);
  o.parallel_workers = workers;
  return o;
}

std::vector<std::string> texts_of(std::string_view bytes, const std::vector<Span>& spans) {
  std::vector<std::string> out;
  for (const Span& s : spans) out.emplace_back(bytes.substr(s.start, s.end - s.start));
  return out;
}

using Texts = std::vector<std::string>;

// ---- Spans and plans ----

TEST(Spans, TrimAndElementSpans) {
  EXPECT_EQ(trim_span(" \t a \n", 0, 6), (Span{3, 4}));
  EXPECT_EQ(trim_span("   ", 0, 3), (Span{3, 3}));
  EXPECT_TRUE(iter_root_array_element_spans_single("[]", 0, 2).empty());
  EXPECT_TRUE(iter_root_array_element_spans_single("[ ]", 0, 3).empty());
  EXPECT_TRUE(iter_root_array_element_spans_single("{1}", 0, 3).empty());
  const std::string_view holes = "[1, ,2,]";
  EXPECT_EQ(texts_of(holes, iter_root_array_element_spans_single(holes, 0, holes.size())),
            (Texts{"1", "2"}));
  const std::string_view mixed = R"([ "a,b" , [1,2] , {"k":[3,4]} ])";
  const auto spans = iter_root_array_element_spans_single(mixed, 0, mixed.size());
  EXPECT_EQ(texts_of(mixed, spans), (Texts{"\"a,b\"", "[1,2]", "{\"k\":[3,4]}"}));
  auto commas = find_root_array_commas(mixed, 0, mixed.size(), 2, 3);
  ASSERT_TRUE(commas.ok());
  EXPECT_EQ(spans_from_commas(mixed, 0, mixed.size(), commas.value()), spans);
  const std::string_view object = R"({"a": 1, "b,": [2, 3] })";
  EXPECT_EQ(texts_of(object, iter_root_object_pair_spans_single(object, 0, object.size())),
            (Texts{"\"a\": 1", "\"b,\": [2, 3]"}));
}

TEST(Spans, ObjectMembersFromTheParallelScanWhenAllowed) {
  const std::string_view object = R"({"a": 1, "b": [2, 3]})";
  auto sequential = iter_root_object_pair_spans(object, 0, object.size(), with_parallel("true", 2), true);
  auto parallel = iter_root_object_pair_spans(object, 0, object.size(), with_parallel("true", 2), false);
  auto single_worker = iter_root_object_pair_spans(object, 0, object.size(), with_parallel("true", 1), false);
  ASSERT_TRUE(sequential.ok() && parallel.ok() && single_worker.ok());
  EXPECT_FALSE(sequential.value().used_parallel_scan);
  EXPECT_TRUE(parallel.value().used_parallel_scan);
  EXPECT_FALSE(single_worker.value().used_parallel_scan);
  EXPECT_EQ(parallel.value().spans, sequential.value().spans);
}

TEST(Spans, KeyAndValueOfAMember) {
  struct Case {
    std::string_view member;
    std::optional<std::pair<std::string, std::string>> parts;
  };
  const Case cases[] = {
      {R"( "k" : [1] )", std::make_pair("\"k\"", "[1]")},
      {R"("a\"b":2)", std::make_pair("\"a\\\"b\"", "2")},
      {R"("k":   )", std::nullopt},
      {R"("k" 1)", std::nullopt},
      {R"(1:2)", std::nullopt},
      {R"(")", std::nullopt},
      {R"("abc)", std::nullopt},
  };
  for (const Case& c : cases) {
    const auto parts = extract_object_key_span_and_value_span(c.member, 0, c.member.size());
    ASSERT_EQ(parts.has_value(), c.parts.has_value()) << c.member;
    if (!parts) continue;
    EXPECT_EQ(texts_of(c.member, {parts->first, parts->second}),
              (Texts{c.parts->first, c.parts->second}));
  }
}

TEST(SplitPlan, DensityGroupingAndDecision) {
  // Structural bytes outside strings per byte, as the plan reports it (also for a non-array).
  for (const auto& [text, density] : {std::pair<std::string_view, double>{"[1,2]", 0.6},
                                      {R"(["a,,,,,,,b"])", 2.0 / 13.0},
                                      {R"({"a":[1]})", 5.0 / 9.0}}) {
    auto split = root_array_split_plan(text, 0, text.size(), RepairOptions{}, false);
    ASSERT_TRUE(split) << text;
    EXPECT_DOUBLE_EQ(split.value().plan.structural_density, density) << text;
  }

  RepairOptions small_chunks;
  small_chunks.parallel_chunk_bytes = 10;
  const std::vector<Span> spans{{0, 600000}, {600000, 1100000}, {1100000, 1100010},
                                {1100010, 2200010}, {2200010, 2200020}};
  EXPECT_EQ(group_tasks(spans, small_chunks),
            (std::vector<TaskRange>{{0, 2}, {2, 2}, {4, 1}}));

  const RepairOptions defaults;
  EXPECT_FALSE(split_decision(defaults, 999999999, 100000, 1.0));
  EXPECT_TRUE(split_decision(defaults, 1000000000, 512, 0.001));
  EXPECT_FALSE(split_decision(defaults, 1000000000, 511, 1.0));
  EXPECT_TRUE(split_decision(with_parallel("yes", 1), 2, 2, 0.0));
  EXPECT_FALSE(split_decision(with_parallel("yes", 1), 2, 1, 0.0));
  EXPECT_FALSE(split_decision(with_parallel("off", 8), 1u << 31, 100000, 1.0));
}

TEST(SplitPlan, RootArrayPlans) {
  auto two = root_array_split_plan("[1, 2]", 0, 6, with_parallel("true", 4), false);
  ASSERT_TRUE(two.ok());
  EXPECT_EQ(two.value().plan.mode, "ROOT_ARRAY_ELEMENTS");
  EXPECT_EQ(two.value().plan.chunk_count, 1U);
  EXPECT_EQ(two.value().tasks, (std::vector<TaskRange>{{0, 2}}));
  EXPECT_TRUE(two.value().used_parallel_scan);

  auto one = root_array_split_plan("[[1, 2]]", 0, 8, with_parallel("true", 4), false);
  ASSERT_TRUE(one.ok());
  EXPECT_EQ(one.value().plan.mode, "NO_SPLIT");

  auto automatic = root_array_split_plan("[1,2,3]", 0, 7, RepairOptions{}, false);
  ASSERT_TRUE(automatic.ok());
  EXPECT_EQ(automatic.value().plan.mode, "NO_SPLIT");
  EXPECT_EQ(automatic.value().plan.elements, 3U);
  EXPECT_EQ(automatic.value().tasks, (std::vector<TaskRange>{{0, 3}}));
  EXPECT_FALSE(automatic.value().used_parallel_scan);

  auto empty = root_array_split_plan("[ ]", 0, 3, with_parallel("true", 2), false);
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty.value().plan.mode, "NO_SPLIT");
  EXPECT_EQ(empty.value().plan.elements, 0U);
}

// ---- Random documents ----

class Documents {
 public:
  explicit Documents(unsigned seed) : rng_(seed) {}

  std::string value(int depth) {
    switch (pick(depth > 4 ? 6 : 8)) {
      case 0: return pick(2) ? "null" : "true";
      case 1: return std::to_string(static_cast<long>(pick(1u << 30)) - (1 << 29));
      case 2: return pick(2) ? "2.5e-3" : "18446744073709551615";
      case 3:
      case 4: return string();
      case 5: return "[]";
      case 6: return array(depth, 1 + pick(4));
      default: return object(depth, 1 + pick(4));
    }
  }
  std::string array(int depth, std::size_t n) {
    std::string s = "[";
    for (std::size_t i = 0; i < n; ++i) s += (i ? separator() : "") + value(depth + 1);
    return s + "]";
  }
  std::string object(int depth, std::size_t n) {
    std::string s = "{";
    for (std::size_t i = 0; i < n; ++i) {
      s += (i ? separator() : "") + string() + (pick(2) ? ":" : " : ") + value(depth + 1);
    }
    return s + "}";
  }
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_); }

 private:
  std::string separator() { return pick(3) ? "," : " ,\n\t"; }
  std::string string() {
    static const char* pieces[] = {"ab", ",", "]", "}", "\\\"", "\\\\", "\\u00e9", "\xc3\xa9", " "};
    std::string s = "\"";
    for (std::size_t i = pick(5); i > 0; --i) s += pieces[pick(9)];
    return s + "\"";
  }
  std::mt19937 rng_;
};

// Settings under which every piece of a small document is split, recursively.
std::vector<RepairOptions> aggressive_settings() {
  std::vector<RepairOptions> all;
  for (std::size_t workers : {1, 2, 3, 8}) {
    RepairOptions on = with_parallel("true", workers);
    on.parallel_chunk_bytes = 1 + workers * 3;
    all.push_back(on);
    RepairOptions automatic = with_parallel("auto", workers);
    automatic.parallel_threshold_bytes = 8;
    automatic.min_elements_for_parallel = 2;
    automatic.parallel_chunk_bytes = workers;
    all.push_back(automatic);
  }
  return all;
}

TEST(ScaleParse, ValuesAndTapesEqualTheUnsplitParse) {
  Documents docs(42);
  const auto settings = aggressive_settings();
  for (int i = 0; i < 60; ++i) {
    const std::string text = "\xEF\xBB\xBF \n" + (i % 2 ? docs.array(0, 1 + docs.pick(6)) : docs.object(0, 1 + docs.pick(6))) + "  ";
    const Span root = trim_span(text, 3, text.size());
    const std::string_view root_text = std::string_view(text).substr(root.start, root.end - root.start);
    auto expected_value = parse_strict_json(root_text);
    auto expected_tape = parse_strict_tape(root_text, root.start);
    ASSERT_TRUE(expected_value.ok() && expected_tape.ok()) << text;
    for (const RepairOptions& options : settings) {
      auto value = parse_root_array_scale(text, options);
      ASSERT_TRUE(value.ok()) << text << ": " << value.error().message;
      EXPECT_EQ(value.value().first, expected_value.value()) << text;
      auto tape = parse_root_array_scale_tape(text, options);
      ASSERT_TRUE(tape.ok()) << text << ": " << tape.error().message;
      EXPECT_EQ(tape.value().first.entries, expected_tape.value().entries) << text;
      EXPECT_EQ(tape.value().first.data_span, root);
      EXPECT_EQ(tape.value().first.root_index, 0U);
    }
  }
}

// A document large enough for several tasks of the default minimum task size.
std::string large_array(Documents& docs, std::size_t bytes) {
  std::string s = "[";
  while (s.size() < bytes) {
    if (s.size() > 1) s += ",\n";
    s += docs.object(1, 4);
  }
  return s + "]";
}

TEST(ScaleParse, LargeDocumentsSplitIntoSeveralTasks) {
  Documents docs(9);
  const std::string array = large_array(docs, 3'500'000);
  const std::string object = "{\"meta\": {\"n\": 1}, \"items\": " + array + ", \"tail\": [true]}";
  for (const std::string* text : {&array, &object}) {
    auto expected_value = parse_strict_json(*text);
    auto expected_tape = parse_strict_tape(*text, 0);
    ASSERT_TRUE(expected_value.ok() && expected_tape.ok());
    for (std::size_t workers : {1, 2, 4}) {
      RepairOptions options = with_parallel("auto", workers);
      options.parallel_threshold_bytes = 100000;
      options.min_elements_for_parallel = 2;
      options.parallel_chunk_bytes = 300000;  // the comma scan's chunks; tasks hold 1 MB
      auto tape = parse_root_array_scale_tape(*text, options);
      ASSERT_TRUE(tape.ok()) << tape.error().message;
      EXPECT_EQ(tape.value().first.entries, expected_tape.value().entries);
      if (text == &array) {
        EXPECT_EQ(tape.value().second.mode, "ROOT_ARRAY_ELEMENTS");
        EXPECT_EQ(tape.value().second.chunk_count, 4U);
      }
      if (text == &object) options.scale_target_keys = std::vector<std::string>{"items"};
      auto value = parse_root_array_scale(*text, options);
      ASSERT_TRUE(value.ok()) << value.error().message;
      EXPECT_EQ(value.value().first, expected_value.value());
      EXPECT_EQ(value.value().second.mode,
                text == &array ? "ROOT_ARRAY_ELEMENTS" : "NESTED_KEY(items).ROOT_ARRAY_ELEMENTS");
    }
  }
}

TEST(ScaleParse, EntryCountsOfTheScanMatchTheTape) {
  Documents docs(5);
  for (int i = 0; i < 60; ++i) {
    const std::string text = docs.array(0, 1 + docs.pick(10));
    auto tape = parse_strict_tape(text, 0);
    ASSERT_TRUE(tape.ok()) << text;
    const InteriorScan scan =
        scan_interior_serial(text, 1, text.size() - 1, ScanDepths{0, 1}, ScanDepths{0, 1});
    EXPECT_EQ(scan.entries + 2, tape.value().entries.size()) << text;
    for (std::size_t k = 0; k < scan.commas.size(); ++k) {
      std::uint64_t before = 0;
      for (const TapeEntry& e : tape.value().entries) before += e.offset > 0 && e.offset < scan.commas[k];
      EXPECT_EQ(scan.entries_before[k], before) << text;
    }
  }
}

// ---- The value path's own cases ----

TEST(ScaleValue, ScalarRootsAndWhiteSpace) {
  auto scalar = parse_root_array_scale("\xEF\xBB\xBF  42 \n", RepairOptions{});
  ASSERT_TRUE(scalar.ok());
  EXPECT_EQ(scalar.value().first, JsonValue::integer(42));
  EXPECT_EQ(scalar.value().second.mode, "NO_SPLIT");
  EXPECT_EQ(scalar.value().second.elements, 0U);
  EXPECT_EQ(scalar.value().second.chunk_count, 1U);
  EXPECT_EQ(parse_root_array_scale(" \n ", RepairOptions{}).error().message,
            "strict parse failed: unexpected EOF at 0");
  EXPECT_EQ(parse_root_array_scale("[1, \xff]", RepairOptions{}).error().message,
            "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 4");
}

TEST(ScaleValue, SmallArraysAreParsedWholeWithTheirTruePlan) {
  auto whole = parse_root_array_scale("[1,2,3]", RepairOptions{});
  ASSERT_TRUE(whole.ok());
  EXPECT_EQ(whole.value().second.mode, "NO_SPLIT");
  EXPECT_EQ(whole.value().second.elements, 3U);
  EXPECT_DOUBLE_EQ(whole.value().second.structural_density, 4.0 / 7.0);
  auto split = parse_root_array_scale("[1,2,3]", with_parallel("true", 2));
  ASSERT_TRUE(split.ok());
  EXPECT_EQ(to_compact_string(split.value().first), "[1,2,3]");
  EXPECT_EQ(split.value().second.mode, "ROOT_ARRAY_ELEMENTS");
  EXPECT_EQ(split.value().second.chunk_count, 1U);
  EXPECT_DOUBLE_EQ(split.value().second.structural_density, 4.0 / 7.0);
  auto object = parse_root_array_scale(R"({"a": 1, "b": [2]})", with_parallel("true", 2));
  ASSERT_TRUE(object.ok());
  EXPECT_EQ(object.value().second.mode, "ROOT_OBJECT_PAIRS");
  EXPECT_EQ(object.value().second.elements, 2U);
}

TEST(ScaleValue, BadPiecesReportTheirPayloadPosition) {
  EXPECT_EQ(parse_root_array_scale("[1, tru, 3]", with_parallel("true", 2)).error().message,
            "strict parse failed in task payload: invalid literal at 3");
  EXPECT_EQ(parse_root_array_scale("[1,   [2 3]]", with_parallel("true", 3)).error().message,
            "strict parse failed in task payload: expected ',' or ']' at 6");
  EXPECT_EQ(parse_root_array_scale("[\"\xc3\", 1]", with_parallel("true", 1)).error().message,
            "invalid utf-8 in task payload: invalid utf-8 sequence of 1 bytes from index 2");
  EXPECT_EQ(parse_root_array_scale(R"({"a": 1, "b" 2})", with_parallel("true", 2)).error().message,
            "strict parse failed in task payload: expected ':' at 12");
  auto task = parse_task_bytes("xx[1, {}]", std::vector<Span>{{3, 4}, {6, 8}});
  ASSERT_TRUE(task.ok());
  EXPECT_EQ(task.value().size(), 2U);
  auto members = parse_object_pair_task_bytes(R"({"a":1,"a":2})", std::vector<Span>{{1, 6}, {7, 12}});
  ASSERT_TRUE(members.ok());
  EXPECT_EQ(members.value().size(), 2U);  // repeated keys are kept
}

// Sound behaviour: a split must not accept what the whole-document parse rejects, so empty
// elements (",,", a leading or a trailing comma) fail with the whole-span error instead of
// being dropped.
TEST(ScaleParse, EmptyElementsAreRejectedLikeTheWholeDocumentParse) {
  struct Case {
    std::string text;
    std::string value_error;
    std::string tape_error;
  };
  const Case cases[] = {
      {"[1,,2]", "strict parse failed: unexpected byte: 44 at 3", "tape parse failed: unexpected character at 3"},
      {"[1,2,]", "strict parse failed: unexpected byte: 93 at 5", "tape parse failed: unexpected character at 5"},
      {"[,1]", "strict parse failed: unexpected byte: 44 at 1", "tape parse failed: unexpected character at 1"},
      {R"({"a":1,,"b":2})", "strict parse failed: expected object key string at 7", "tape parse failed: expected string at 7"},
  };
  for (const Case& c : cases) {
    for (std::size_t workers : {1, 2}) {
      const RepairOptions options = with_parallel("true", workers);
      EXPECT_EQ(parse_root_array_scale(c.text, options).error().message, c.value_error) << c.text;
      EXPECT_EQ(parse_root_array_scale_tape(c.text, options).error().message, c.tape_error) << c.text;
    }
  }
}

TEST(ScaleValue, NestedKeySplit) {
  const std::string text = R"({"meta": {"v": 1}, "items": [1, [2], {"x": 3}], "z": "t"})";
  RepairOptions options = with_parallel("true", 2);
  options.scale_target_keys = std::vector<std::string>{"nothing", "items"};
  auto nested = parse_root_array_scale(text, options);
  ASSERT_TRUE(nested.ok()) << nested.error().message;
  EXPECT_EQ(nested.value().first, parse_strict_json(text).value());
  EXPECT_EQ(nested.value().second.mode, "NESTED_KEY(items).ROOT_ARRAY_ELEMENTS");
  EXPECT_EQ(nested.value().second.elements, 3U);

  // A key named in the list whose value is not a container: the ordinary object path.
  auto scalar = parse_root_array_scale(R"({"meta": {}, "items": 5})", options);
  ASSERT_TRUE(scalar.ok());
  EXPECT_EQ(scalar.value().second.mode, "ROOT_OBJECT_PAIRS");
  // A broken key before the target gives up the nested attempt; the object path reports.
  EXPECT_EQ(parse_root_array_scale(R"({"a\x": 1, "items": [1, 2]})", options).error().message,
            "strict parse failed in task payload: invalid escape at 4");
  // A bad element inside the nested value is reported by the ordinary path as well.
  auto bad = parse_root_array_scale(R"({"items": [1, 2 3], "b": 1})", options);
  EXPECT_EQ(bad.error().message, "strict parse failed in task payload: expected ',' or ']' at 16");
  // Escaped keys compare by their decoded text.
  options.scale_target_keys = std::vector<std::string>{"it\"ems"};
  auto escaped = parse_root_array_scale(R"({"it\"ems": [1, 2]})", options);
  ASSERT_TRUE(escaped.ok());
  EXPECT_EQ(escaped.value().second.mode, "NESTED_KEY(it\"ems).ROOT_ARRAY_ELEMENTS");
}

// ---- The tape path's own cases ----

TEST(ScaleTape, ScalarRootsAndWhiteSpace) {
  auto scalar = parse_root_array_scale_tape("  42  ", RepairOptions{});
  ASSERT_TRUE(scalar.ok());
  const Tape& tape = scalar.value().first;
  ASSERT_EQ(tape.entries.size(), 1U);
  EXPECT_EQ(tape.entries[0], (TapeEntry{TapeEntryKind::NumberU64, 2, 2, 42}));
  EXPECT_EQ(tape.data_span, (Span{2, 4}));
  EXPECT_EQ(scalar.value().second.mode, "NO_SPLIT");
  EXPECT_EQ(scalar.value().second.elements, 0U);
  EXPECT_EQ(parse_root_array_scale_tape(" \t\n ", RepairOptions{}).error().message,
            "tape parse failed: unexpected EOF at 4");
  EXPECT_EQ(parse_root_array_scale_tape("  nul", RepairOptions{}).error().message,
            "tape parse failed: unexpected EOF at 2");
}

TEST(ScaleTape, SplitArrayKeepsTheStrictEntries) {
  const std::string text = "[[1,2],[3]]";
  auto split = parse_root_array_scale_tape(text, with_parallel("true", 2));
  ASSERT_TRUE(split.ok());
  EXPECT_EQ(split.value().first.entries, parse_strict_tape(text, 0).value().entries);
  EXPECT_EQ(split.value().second.mode, "ROOT_ARRAY_ELEMENTS");
  EXPECT_EQ(split.value().second.elements, 2U);
}

TEST(ScaleTape, BadPiecesReportAbsolutePositions) {
  for (std::size_t workers : {1, 2}) {
    const RepairOptions options = with_parallel("true", workers);
    EXPECT_EQ(parse_root_array_scale_tape("[1, [2, 3], {\"a\": nul}]", options).error().message,
              "tape parse failed: invalid literal at 18");
    EXPECT_EQ(parse_root_array_scale_tape("[1, [2, 3], nul]", options).error().message,
              "tape parse failed: unexpected EOF at 12");
    EXPECT_EQ(parse_root_array_scale_tape("[1, [2 3]]", options).error().message,
              "tape parse failed: expected ',' or ']' at 7");
    EXPECT_EQ(parse_root_array_scale_tape(R"({"a": [1], "b" [2]})", options).error().message,
              "failed to extract object pair spans");
    EXPECT_EQ(parse_root_array_scale_tape(R"({"a": [1], "b": [2,]})", options).error().message,
              "tape parse failed: unexpected character at 19");
  }
  auto strict = parse_tape_entries_strict("xx[1,]", 2, 6);
  EXPECT_EQ(strict.error().message, "tape parse failed: unexpected character at 5");
  EXPECT_EQ(parse_value_scale_tape("[1]  ", 3, 5, RepairOptions{}, 0).error().message, "empty value span");
}

TEST(ScaleTape, DeepDocumentsBelowTheSplitAreParsedCompletely) {
  const std::string deep = "[" + std::string(20, '[') + "1" + std::string(20, ']') + ", [2]]";
  auto tape = parse_root_array_scale_tape(deep, with_parallel("true", 2));
  ASSERT_TRUE(tape.ok());
  EXPECT_EQ(tape.value().first.entries, parse_strict_tape(deep, 0).value().entries);
  auto entries = parse_value_scale_tape(deep, 0, deep.size(), with_parallel("true", 2), 0);
  ASSERT_TRUE(entries.ok());
  EXPECT_EQ(entries.value(), parse_strict_tape(deep, 0).value().entries);
  EXPECT_TRUE(should_recurse_pair_value(R"("k": [1])", 0, 8, with_parallel("true", 2), 1));
  EXPECT_FALSE(should_recurse_pair_value(R"("k": [1])", 0, 8, with_parallel("true", 2), 8));
  EXPECT_FALSE(should_recurse_pair_value(R"("k": 1)", 0, 6, with_parallel("true", 2), 1));
  EXPECT_FALSE(should_recurse_pair_value(R"("k": [1])", 0, 8, RepairOptions{}, 1));
}

// ---- Nesting depth and thread failures ----

std::string nested_array(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

// Pieces count the depth at which they sit in the whole document, so that a split accepts
// exactly the nesting the whole-document parsers accept.
TEST(ScaleParse, NestingBoundIsTheWholeDocumentBound) {
  for (std::size_t depth : {kMaxNestingDepth, kMaxNestingDepth + 1}) {
    const std::string inner = nested_array(depth - 1);
    const std::string array = "[1, " + inner + "]";
    const std::string object = "{\"a\": 1, \"items\": [2, " + nested_array(depth - 2) + "]}";
    const bool ok = depth <= kMaxNestingDepth;
    for (const std::string* text : {&array, &object}) {
      ASSERT_EQ(parse_strict_json(*text).ok(), ok);
      for (std::size_t workers : {1, 2}) {
        RepairOptions options = with_parallel("true", workers);
        EXPECT_EQ(parse_root_array_scale_tape(*text, options).ok(), ok) << depth;
        EXPECT_EQ(parse_root_array_scale(*text, options).ok(), ok) << depth;
        options.scale_target_keys = std::vector<std::string>{"items"};
        EXPECT_EQ(parse_root_array_scale(*text, options).ok(), ok) << depth;
      }
    }
  }
  auto tape = parse_root_array_scale_tape("[1, " + nested_array(kMaxNestingDepth) + "]", with_parallel("true", 2));
  EXPECT_EQ(tape.error().message, "tape parse failed: nesting too deep at 1027");
}

TEST(ScaleParse, AFailedThreadStartIsReportedNotFatal) {
  std::atomic<int> starts{0};
  const ThreadStarter failing = [&](std::function<void()>) -> std::thread {
    ++starts;
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  const std::string text = "[1, [2, 3], {\"a\": 4}]";
  RepairOptions options = with_parallel("true", 2);
  options.parallel_chunk_bytes = 1;  // many scan chunks: passes of two threads
  EXPECT_EQ(parse_root_array_scale(text, options, failing).error().message, "failed to spawn thread");
  EXPECT_EQ(parse_root_array_scale_tape(text, options, failing).error().message, "failed to spawn thread");
  EXPECT_GT(starts.load(), 0);
  // One worker runs every pass on the calling thread.
  starts = 0;
  options.parallel_workers = 1;
  EXPECT_TRUE(parse_root_array_scale(text, options, failing).ok());
  EXPECT_TRUE(parse_root_array_scale_tape(text, options, failing).ok());
  EXPECT_EQ(starts.load(), 0);
  // Unsplit documents start no thread at all.
  EXPECT_TRUE(parse_root_array_scale(text, RepairOptions{}, failing).ok());
  EXPECT_TRUE(parse_root_array_scale_tape(text, RepairOptions{}, failing).ok());
}

}  // namespace
}  // namespace velvin
