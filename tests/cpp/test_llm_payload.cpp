#include "llm/payload.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace velvin {
namespace {

JsonValue parse(std::string_view text) {
  auto parsed = parse_strict_json(text);
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed.ok() ? std::move(parsed).value() : JsonValue();
}

JsonArray ops_of(std::string_view json) { return parse(json).as_array(); }

std::string payload(std::string_view text, std::optional<std::uint64_t> error_position,
                    std::uint64_t window) {
  return to_compact_string(
      build_llm_payload_json(text, "patch_suggest", error_position, std::nullopt, std::nullopt,
                             5, window));
}

JsonValue span_of(const JsonValue& request) {
  return request.find("snippet")->find("span_in_extracted")->clone();
}

// ---- request document ----

TEST(LlmPayload, WholeShortTextWithEveryKeyInOrder) {
  const std::string text(100, 'x');
  const JsonValue schema = parse(R"({"required_keys":["a"]})");
  const JsonValue state = parse(R"({"depth":2})");
  const JsonValue request =
      build_llm_payload_json(text, "patch_suggest", std::nullopt, schema, state, 5, 1200);
  EXPECT_EQ(to_compact_string(request),
            R"({"task":"json_deep_repair","mode":"patch_suggest","snippet":{"text":")" + text +
                R"(","encoding":"utf-8","span_in_extracted":[0,100]},"parser_state":{"depth":2},)"
                R"("schema_hint":{"required_keys":["a"]},"constraints":{"max_suggestions":5,)"
                R"("prefer_minimal_change":true,"return_json_only":true}})");
}

TEST(LlmPayload, NonObjectSchemaAndStateBecomeEmptyObjects) {
  const JsonValue request = build_llm_payload_json("[1", "other_mode", 2, parse("[1]"),
                                                   parse("\"s\""), 7, 1200);
  EXPECT_EQ(*request.find("mode"), JsonValue::string("other_mode"));
  EXPECT_EQ(to_compact_string(*request.find("parser_state")), "{}");
  EXPECT_EQ(to_compact_string(*request.find("schema_hint")), "{}");
  EXPECT_EQ(request.find("constraints")->find("max_suggestions")->as_uint(), 7u);
}

template <typename Case>
std::string case_name(const ::testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

struct WindowCase {
  const char* name;
  std::string text;
  std::optional<std::uint64_t> error_position;
  std::uint64_t window;
  std::uint64_t start;
  std::uint64_t end;
};

class LlmWindow : public ::testing::TestWithParam<WindowCase> {};

TEST_P(LlmWindow, CutsOnCharacterBoundaries) {
  const WindowCase& c = GetParam();
  const JsonValue request =
      build_llm_payload_json(c.text, "patch_suggest", c.error_position, std::nullopt,
                             std::nullopt, 5, c.window);
  const JsonValue span = span_of(request);
  EXPECT_EQ(span.as_array().at(0).as_uint(), c.start);
  EXPECT_EQ(span.as_array().at(1).as_uint(), c.end);
  EXPECT_EQ(request.find("snippet")->find("text")->as_string(),
            std::string_view(c.text).substr(c.start, c.end - c.start));
}

// "abcdefgh€ijklmnop": the euro sign occupies bytes 8, 9 and 10.
const std::string kEuroText = "abcdefgh\xE2\x82\xACijklmnop";

INSTANTIATE_TEST_SUITE_P(
    Cases, LlmWindow,
    ::testing::Values(
        WindowCase{"centre_of_text", std::string(100, 'x'), std::nullopt, 1200, 0, 100},
        WindowCase{"start_inside_character", kEuroText, 15, 10, 8, 19},
        WindowCase{"end_inside_character", kEuroText, 4, 10, 0, 8},
        WindowCase{"error_past_end_clamped", std::string(50, 'x'), 900, 10, 45, 50},
        WindowCase{"tiny_window_half_width_one", std::string(50, 'x'), 20, 3, 19, 21},
        WindowCase{"empty_text", "", std::nullopt, 1200, 0, 0},
        WindowCase{"huge_window_no_overflow", std::string(10, 'x'), 5,
                   std::numeric_limits<std::uint64_t>::max(), 0, 10}),
    case_name<WindowCase>);

TEST(LlmPayload, RawBytesStillGiveAValidDocument) {
  const std::string request = payload("ab\xFF\xFE", std::nullopt, 1200);
  EXPECT_TRUE(is_valid_utf8(request));
  EXPECT_TRUE(parse_strict_json(request).ok());
}

// ---- patch operations ----

struct PatchCase {
  const char* name;
  std::string text;
  std::string ops;
  std::string expected;  // the patched text, or the error message
  bool ok;
};

class LlmPatch : public ::testing::TestWithParam<PatchCase> {};

TEST_P(LlmPatch, AppliesOrRefuses) {
  const PatchCase& c = GetParam();
  const auto result = apply_patch_ops_utf8(c.text, ops_of(c.ops));
  ASSERT_EQ(result.ok(), c.ok) << (result.ok() ? result.value() : result.error().message);
  EXPECT_EQ(result.ok() ? result.value() : result.error().message, c.expected);
  if (!result.ok()) {
    EXPECT_EQ(result.error().code, ErrorCode::invalid_patch);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Applied, LlmPatch,
    ::testing::Values(
        PatchCase{"empty_list_unchanged", "abc", "[]", "abc", true},
        PatchCase{"equal_keys_keep_list_order", "text",
                  R"([{"op":"insert","at":0,"text":"A"},{"op":"insert","at":0,"text":"B"}])",
                  "BAtext", true},
        PatchCase{"insert_at_range_end_lands_after_replacement", "0123456789",
                  R"([{"op":"replace","span":[2,5],"text":"X"},{"op":"insert","at":5,"text":"Y"}])",
                  "01XY56789", true},
        PatchCase{"delete_past_end", "hello", R"([{"op":"delete","span":[2,100]}])", "he", true},
        PatchCase{"truncate_past_end_changes_nothing", "hello",
                  R"([{"op":"truncate_after","at":99}])", "hello", true},
        PatchCase{"truncate", "hello", R"([{"op":"truncate_after","at":3}])", "hel", true},
        PatchCase{"float_span_truncated", "abcdef", R"([{"op":"delete","span":[1.9,3.2]}])",
                  "adef", true},
        PatchCase{"negative_start_is_zero", "abcdef", R"([{"op":"delete","span":[-5,2]}])",
                  "cdef", true},
        PatchCase{"negative_float_is_zero", "abcdef", R"([{"op":"delete","span":[-0.5,1]}])",
                  "bcdef", true},
        PatchCase{"replace_without_text_deletes", "abcdef", R"([{"op":"replace","span":[0,3]}])",
                  "def", true},
        PatchCase{"insert_with_non_string_text_inserts_nothing", "abc",
                  R"([{"op":"insert","at":1,"text":5}])", "abc", true},
        PatchCase{"first_member_wins", "abc",
                  R"([{"op":"insert","at":0,"text":"A","text":"B","op":"delete"}])", "Aabc", true},
        PatchCase{"huge_positions_saturate", "abc",
                  R"([{"op":"insert","at":18446744073709551615,"text":"U"},)"
                  R"({"op":"insert","at":1e300,"text":"F"}])",
                  "abcUF", true},
        PatchCase{"cut_character_becomes_replacement", "\xC3\xA9",
                  R"([{"op":"delete","span":[1,2]}])", "\xEF\xBF\xBD", true},
        // Positions are clamped to the buffer as it is when the op runs.
        PatchCase{"clamp_to_grown_buffer", "abc",
                  R"([{"op":"insert","at":10,"text":"XY"},{"op":"insert","at":4,"text":"Z"}])",
                  "abcXZY", true},
        PatchCase{"insert_then_truncate", "abcdef",
                  R"([{"op":"truncate_after","at":4},{"op":"insert","at":5,"text":"Z"}])", "abcd",
                  true},
        PatchCase{"overlapping_delete_sees_inserted_text", "abcdef",
                  R"([{"op":"delete","span":[1,3]},{"op":"insert","at":2,"text":"Q"}])", "acdef",
                  true},
        PatchCase{"equal_start_larger_end_first", "abcdef",
                  R"([{"op":"delete","span":[2,3]},{"op":"delete","span":[2,4]}])", "abf", true}),
    case_name<PatchCase>);

INSTANTIATE_TEST_SUITE_P(
    Refused, LlmPatch,
    ::testing::Values(
        PatchCase{"not_an_object", "abc", R"([1])", "patch op must be an object", false},
        PatchCase{"missing_op", "abc", R"([{"at":1}])", "patch op missing 'op' string", false},
        PatchCase{"op_not_a_string", "abc", R"([{"op":5}])", "patch op missing 'op' string",
                  false},
        PatchCase{"unsupported", "abc", R"([{"op":"move"}])", "unsupported patch op: \"move\"",
                  false},
        PatchCase{"unsupported_name_escaped", "abc", R"([{"op":"a\"b"}])",
                  "unsupported patch op: \"a\\\"b\"", false},
        PatchCase{"span_missing", "abc", R"([{"op":"delete"}])", "invalid span for delete", false},
        PatchCase{"span_three_elements", "abc", R"([{"op":"replace","span":[1,2,3]}])",
                  "invalid span for replace", false},
        PatchCase{"span_start_not_number", "abc", R"([{"op":"delete","span":["a",1]}])",
                  "invalid span start for delete", false},
        PatchCase{"span_end_not_number", "abc", R"([{"op":"replace","span":[1,null]}])",
                  "invalid span end for replace", false},
        PatchCase{"span_reversed", "abcdef", R"([{"op":"delete","span":[5,2]}])",
                  "invalid span for delete", false},
        PatchCase{"insert_without_at", "abc", R"([{"op":"insert","text":"x"}])",
                  "invalid 'at' for insert", false},
        PatchCase{"truncate_at_not_number", "abc", R"([{"op":"truncate_after","at":"2"}])",
                  "invalid 'at' for truncate_after", false},
        PatchCase{"first_failure_wins_nothing_applied", "abc",
                  R"([{"op":"delete","span":[0,1]},{"op":"insert"},{"op":"move"}])",
                  "invalid 'at' for insert", false}),
    case_name<PatchCase>);

// The edit buffer against the literal rule: sort, then for each op clamp to the current length
// and splice a plain string.
std::string apply_naively(std::string text, std::vector<PatchOp> ops) {
  std::stable_sort(ops.begin(), ops.end(), [](const PatchOp& a, const PatchOp& b) {
    return a.start != b.start ? a.start > b.start : a.end > b.end;
  });
  for (const PatchOp& op : ops) {
    const std::size_t n = text.size();
    const auto start = static_cast<std::size_t>(std::min<std::uint64_t>(op.start, n));
    const auto end = static_cast<std::size_t>(std::min<std::uint64_t>(op.end, n));
    switch (op.kind) {
      case PatchKind::Delete:
        text.erase(start, end - start);
        break;
      case PatchKind::Replace:
        text.replace(start, end - start, op.text);
        break;
      case PatchKind::Insert:
        text.insert(start, op.text);
        break;
      case PatchKind::TruncateAfter:
        text.resize(start);
        break;
    }
  }
  return text;
}

TEST(LlmPatch, MatchesTheLiteralRuleOnRandomBatches) {
  std::mt19937_64 rng(12345);
  const char* names[] = {"delete", "replace", "insert", "truncate_after"};
  for (int round = 0; round < 3000; ++round) {
    const std::string text(rng() % 12, 'a');
    JsonArray ops;
    std::vector<PatchOp> parsed;
    const int count = static_cast<int>(rng() % 6);
    for (int i = 0; i < count; ++i) {
      const char* name = names[rng() % 4];
      const std::uint64_t a = rng() % 20;
      const std::uint64_t b = a + rng() % 6;
      const std::string insert(rng() % 4, static_cast<char>('A' + i));
      std::string json = std::string(R"({"op":")") + name + "\",";
      if (name[0] == 'd' || name[0] == 'r') {
        json += "\"span\":[" + std::to_string(a) + "," + std::to_string(b) + "]";
      } else {
        json += "\"at\":" + std::to_string(a);
      }
      json += ",\"text\":\"" + insert + "\"}";
      ops.push_back(parse(json));
      auto one = parse_patch_op(ops.back());
      ASSERT_TRUE(one.ok()) << json;
      parsed.push_back(std::move(one).value());
    }
    const auto result = apply_patch_ops_utf8(text, ops);
    ASSERT_TRUE(result.ok());
    ASSERT_EQ(result.value(), apply_naively(text, parsed))
        << "text " << text << " ops " << to_compact_string(JsonValue::array(ops));
  }
}

}  // namespace
}  // namespace velvin
