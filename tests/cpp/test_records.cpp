#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "core/records.hpp"

namespace velvin {
namespace {

std::vector<std::string> keys_of(const JsonValue& object) {
  std::vector<std::string> keys;
  for (const JsonMember& m : object.as_object()) keys.push_back(m.key);
  return keys;
}

TEST(RepairOptions, Defaults) {
  const RepairOptions o = RepairOptions::defaults();
  EXPECT_EQ(o.mode, "auto");
  EXPECT_EQ(o.top_k, 5u);
  EXPECT_EQ(o.beam_width, 32u);
  EXPECT_EQ(o.max_repairs, 20u);
  EXPECT_EQ(o.max_deleted_tokens, 3u);
  EXPECT_EQ(o.max_close_open_string, 1u);
  EXPECT_EQ(o.max_garbage_skip_bytes, 8192u);
  EXPECT_DOUBLE_EQ(o.confidence_alpha, 0.7);
  EXPECT_DOUBLE_EQ(o.density_threshold, 0.001);
  EXPECT_EQ(o.parallel_chunk_bytes, 8388608u);
  EXPECT_EQ(o.parallel_threshold_bytes, 1000000000u);
  EXPECT_EQ(o.min_elements_for_parallel, 512u);
  EXPECT_EQ(o.deterministic_seed, 0u);
  EXPECT_TRUE(o.partial_ok && o.allow_single_quotes && o.allow_unquoted_keys &&
              o.allow_unquoted_values && o.allow_comments && o.allow_python_literals);
  EXPECT_FALSE(o.debug);
  EXPECT_FALSE(o.allow_llm);
  EXPECT_FALSE(o.parallel_workers || o.scale_target_keys || o.schema || o.llm_command);
  EXPECT_EQ(o.allow_parallel, "auto");
  EXPECT_EQ(o.parallel_backend, "process");
  EXPECT_EQ(o.scale_output, "dom");
  EXPECT_EQ(o.llm_mode, "patch_suggest");
  EXPECT_EQ(o.llm_max_calls, 2u);
  EXPECT_EQ(o.llm_timeout_ms, 5000u);
  EXPECT_DOUBLE_EQ(o.llm_min_confidence, 0.2);
}

TEST(RepairOptions, CloneIsIndependent) {
  RepairOptions a;
  a.schema = JsonValue::object({JsonMember{"type", JsonValue::string("object")}});
  a.scale_target_keys = std::vector<std::string>{"items"};
  RepairOptions b = a.clone();
  b.schema->as_object().clear();
  b.scale_target_keys->push_back("more");
  EXPECT_EQ(a.schema->as_object().size(), 1u);
  EXPECT_EQ(a.scale_target_keys->size(), 1u);
  a = RepairOptions();  // releasing the source leaves the copy intact
  EXPECT_EQ(b.scale_target_keys->front(), "items");
}

TEST(RepairAction, FreshActionRendersNullOptionals) {
  const JsonValue v = RepairAction::make("strip_code_fence", 0.2).to_json_value();
  EXPECT_EQ(keys_of(v), (std::vector<std::string>{"op", "span", "at", "token", "cost_delta", "note"}));
  EXPECT_EQ(to_compact_string(v),
            R"({"op":"strip_code_fence","span":null,"at":null,"token":null,"cost_delta":0.2,"note":null})");
}

TEST(RepairAction, FilledFieldsRender) {
  RepairAction a = RepairAction::make("insert_missing_comma", 0.7);
  a.set_span(Span{3, 9});
  a.set_at(5);
  a.set_token(",");
  a.set_note("n");
  EXPECT_EQ(to_compact_string(a.to_json_value()),
            R"({"op":"insert_missing_comma","span":[3,9],"at":5,"token":",","cost_delta":0.7,"note":"n"})");
}

// The registry, pinned once: every other test reads words and costs from it.
TEST(OpRegistry, WordsStagesAndCosts) {
  struct Row {
    Op op;
    std::string_view word;
    Stage stage;
    double cost;  // fixed cost, per-unit base, or the cost before a string
    double second = 0.0;  // per-unit price, or the cost before a number
    double third = 0.0;   // the cost before a word
  };
  const Stage E = Stage::Extraction, H = Stage::Heuristic, B = Stage::Beam;
  const Row rows[] = {
      {Op::StripPrefixText, "strip_prefix_text", E, 0.3},
      {Op::StripSuffixText, "strip_suffix_text", E, 0.3},
      {Op::StripCodeFence, "strip_code_fence", E, 0.2},
      {Op::FixSmartQuotes, "fix_smart_quotes", H, 0.7},
      {Op::FixSmartQuotes, "fix_smart_quotes", B, 0.7},
      {Op::StripLineComment, "strip_line_comment", H, 0.4},
      {Op::StripLineComment, "strip_line_comment", B, 0.4},
      {Op::StripBlockComment, "strip_block_comment", H, 0.6},
      {Op::StripBlockComment, "strip_block_comment", B, 0.6},
      {Op::WrapUnquotedKey, "wrap_unquoted_key", H, 0.3},
      {Op::ConvertSingleQuotes, "convert_single_quotes", H, 0.3},
      {Op::WrapUnquotedValue, "wrap_unquoted_value", H, 0.4},
      {Op::MapPythonLiteral, "map_python_literal", H, 0.4},
      {Op::MapPythonLiteral, "map_python_literal", B, 0.4},
      {Op::InsertMissingComma, "insert_missing_comma", H, 0.5},
      {Op::InsertMissingComma, "insert_missing_comma", B, 0.7, 0.8, 1.0},
      {Op::RemoveTrailingComma, "remove_trailing_comma", H, 0.2},
      {Op::RemoveTrailingComma, "remove_trailing_comma", B, 0.2},
      {Op::CloseOpenString, "close_open_string", H, 3.0},
      {Op::CloseOpenString, "close_open_string", B, 3.0},
      {Op::CloseContainers, "close_containers", H, 0.0, 0.5},
      {Op::WrapKeyWithQuotes, "wrap_key_with_quotes", B, 1.1},
      {Op::ConvertSingleToDoubleQuotes, "convert_single_to_double_quotes", B, 0.9},
      {Op::WrapValueWithQuotes, "wrap_value_with_quotes", B, 1.5},
      {Op::InsertMissingColon, "insert_missing_colon", B, 1.0},
      {Op::SynthesizeMissingValue, "synthesize_missing_value", B, 2.5},
      {Op::InsertMissingCloser, "insert_missing_closer", B, 0.5},
      {Op::SkipGarbage, "skip_garbage", B, 1.2, 0.0002},
      {Op::SkipSuffix, "skip_suffix", B, 0.3, 0.0002},
      {Op::TruncateSuffix, "truncate_suffix", B, 1.3, 0.00005},
      {Op::DeleteUnexpectedToken, "delete_unexpected_token", B, 2.5},
      {Op::LlmPatchSuggest, "llm_patch_suggest", Stage::LanguageModel, 1.5},
      {Op::EscapeInnerQuotes, "escape_inner_quotes", B, 0.3, 0.2},
      {Op::InsertMissingQuote, "insert_missing_quote", B, 0.8},
      {Op::NormalizeNumber, "normalize_number", B, 0.3},
      {Op::ConvertTupleToArray, "convert_tuple_to_array", B, 0.4},
      {Op::UnwrapCall, "unwrap_call", B, 0.5},
      {Op::DropPlaceholder, "drop_placeholder", B, 0.3},
      {Op::DropExtraComma, "drop_extra_comma", B, 0.3},
      {Op::ReplaceMismatchedCloser, "replace_mismatched_closer", B, 0.6},
      {Op::DropSurplusCloser, "drop_surplus_closer", B, 0.3},
      {Op::DecodeEscapedJson, "decode_escaped_json", E, 0.5},
  };
  std::size_t makers = 0;
  for (const OpInfo& info : kOpRegistry) {
    for (const OpMaker& m : info.makers) makers += m.stage != Stage::Given ? 1 : 0;
  }
  EXPECT_EQ(makers, std::size(rows));  // no stage makes an op the table does not list
  for (const Row& r : rows) {
    SCOPED_TRACE(r.word);
    EXPECT_EQ(op_word(r.op), r.word);
    EXPECT_EQ(op_from_word(r.word), r.op);
    const OpInfo& info = op_info(r.op);
    EXPECT_TRUE(info.makers[0].stage == r.stage || info.makers[1].stage == r.stage);
    const CostRule& rule = op_cost(r.op, r.stage);
    switch (rule.kind) {
      case CostRule::Kind::Fixed:
        EXPECT_EQ(rule.fixed(), r.cost);
        break;
      case CostRule::Kind::PerUnit:
        EXPECT_EQ(rule.for_units(0), r.cost);
        EXPECT_EQ(rule.for_units(10), r.cost + r.second * 10);
        break;
      case CostRule::Kind::ByNextToken:
        EXPECT_EQ(rule.before(NextToken::StringOrOpener), r.cost);
        EXPECT_EQ(rule.before(NextToken::NumberOrLiteral), r.second);
        EXPECT_EQ(rule.before(NextToken::Word), r.third);
        break;
    }
  }
  EXPECT_FALSE(op_from_word("").has_value());
  EXPECT_FALSE(op_from_word("made_up_op").has_value());
}

// Words, tokens and notes from a caller come back as given; the usual ones take no side storage
// but read back the same.
TEST(RepairAction, AnyTextRoundTrips) {
  for (const std::string_view op : {"", "made_up_op", "strip_code_fence", "\xC3\xA9\0x"}) {
    for (const std::string_view token : {",", "null", "]", "", "{", "any \" text"}) {
      RepairAction a = RepairAction::make(op, -1.5);
      a.set_token(token);
      a.set_note(token);
      const RepairAction copy = a;
      EXPECT_EQ(copy.op_word(), op);
      EXPECT_EQ(copy.token(), token);
      EXPECT_EQ(copy.note(""), std::string(token));
      EXPECT_EQ(copy.cost_delta, -1.5);
      EXPECT_EQ(copy, a);
    }
  }
}

TEST(RepairAction, NotesBuiltWhenRendered) {
  struct Case {
    NoteKind kind;
    Span span;
    std::string_view text;
    std::string_view note;
  };
  const Case cases[] = {
      {NoteKind::QuotedWord, {1, 4}, "{abc: 1}", R"(abc -> "abc")"},
      {NoteKind::PythonLiteral, {6, 10}, R"({"a": True})", "True->true"},
      {NoteKind::PythonLiteral, {1, 10}, "[undefined]", "undefined->null"},
      {NoteKind::WordToNull, {1, 5}, "[None]", "None -> null"},
      {NoteKind::QuotedWord, {5, 9}, "ab", R"( -> "")"},  // a text that is missing: no crash
  };
  for (const Case& c : cases) {
    RepairAction a = RepairAction::make(Op::WrapUnquotedKey, {Stage::Heuristic}, 0.3);
    a.set_span(c.span);
    a.set_word_note(c.kind);
    EXPECT_EQ(a.note(c.text), std::string(c.note));
  }
  RepairAction closers = RepairAction::make(Op::CloseContainers, {Stage::Heuristic, 2}, 1.5);
  closers.set_at(7);
  closers.set_container_counts(1, 2);
  EXPECT_FALSE(closers.span().has_value());
  EXPECT_EQ(to_compact_string(closers.to_json_value()),
            R"({"op":"close_containers","span":null,"at":7,"token":null,"cost_delta":1.5,)"
            R"("note":"brace=1, bracket=2"})");
}

TEST(StageTexts, TextOfEachOrigin) {
  StageTexts texts;
  texts.heuristic = {"h0", "h1"};
  texts.beam = "b";
  texts.reruns = {"r1"};
  EXPECT_EQ(texts.text_of({Stage::Heuristic, 1}), "h1");
  EXPECT_EQ(texts.text_of({Stage::Heuristic, 2}), "");
  EXPECT_EQ(texts.text_of({Stage::Beam, 0}), "b");
  EXPECT_EQ(texts.text_of({Stage::Beam, 1}), "r1");
  EXPECT_EQ(texts.text_of({Stage::Beam, 2}), "");
  EXPECT_EQ(texts.text_of({Stage::Extraction}), "");  // the input stays with its caller
  EXPECT_EQ(texts.text_of({Stage::Given}), "");
}

TEST(Metrics, FreshMetricsRender) {
  const JsonValue v = Metrics::make("strict").to_json_value();
  EXPECT_EQ(keys_of(v), (std::vector<std::string>{"mode_used", "elapsed_ms", "beam_width",
                                                  "max_repairs", "llm_calls", "llm_time_ms",
                                                  "llm_trigger", "split_mode", "parallel_workers",
                                                  "elements", "structural_density"}));
  EXPECT_EQ(to_compact_string(v),
            R"({"mode_used":"strict","elapsed_ms":0,"beam_width":0,"max_repairs":0,"llm_calls":0,)"
            R"("llm_time_ms":0,"llm_trigger":null,"split_mode":"","parallel_workers":0,"elements":0,)"
            R"("structural_density":0.0})");
}

TEST(Metrics, WideMillisecondCountsRenderTheirLowBits) {
  Metrics m = Metrics::make("probabilistic");
  m.elapsed_ms = (static_cast<u128>(1) << 64) + 7;
  EXPECT_EQ(m.to_json_value().find("elapsed_ms")->as_uint(), 7u);
}

TEST(Candidate, WithoutValueOrSchema) {
  Candidate c;
  c.confidence = 1.0;
  c.cost = -0.0;
  c.validations.strict_json_parse = true;
  c.dropped_spans = {Span{1, 2}};
  const JsonValue v = c.to_json_value();
  EXPECT_EQ(keys_of(v), (std::vector<std::string>{"candidate_id", "value", "normalized_json", "ir",
                                                  "confidence", "cost", "repairs", "validations",
                                                  "diagnostics", "dropped_spans"}));
  EXPECT_EQ(to_compact_string(v),
            R"({"candidate_id":0,"value":null,"normalized_json":null,"ir":null,"confidence":1.0,)"
            R"("cost":-0.0,"repairs":[],"validations":{"strict_json_parse":true,"schema_match":null},)"
            R"("diagnostics":{"garbage_skipped_bytes":0,"deleted_tokens":0,"inserted_tokens":0,)"
            R"("close_open_string_count":0,"beam_width":null,"max_repairs":null},"dropped_spans":[[1,2]]})");
}

TEST(Confidence, ExponentialOfCostNeverUnderflowsToZero) {
  EXPECT_EQ(confidence_for_cost(0.7, 0.8), std::exp(-0.7 * 0.8));
  EXPECT_EQ(confidence_for_cost(0.7, 0.0), 1.0);
  EXPECT_EQ(confidence_for_cost(0.7, 1000.0), std::exp(-700.0));  // tiny, still exact
  // exp(-0.7 * 1100) is below the smallest double: the closest positive value stands in.
  const double tiny = std::numeric_limits<double>::denorm_min();
  EXPECT_EQ(confidence_for_cost(0.7, 1100.0), tiny);
  EXPECT_EQ(confidence_for_cost(1e308, 1.0), tiny);
  EXPECT_EQ(confidence_for_cost(0.7, std::numeric_limits<double>::infinity()), tiny);
}

TEST(RepairResult, FailedResultRendersAllEightKeys) {
  RepairResult r;
  r.status = "failed";
  r.input_stats.input_bytes = 4;
  r.input_stats.extracted_span = Span{0, 4};
  r.errors.push_back(ParseError{"JSONDecodeError", 3, "unexpected byte: 93"});
  r.metrics = Metrics::make("strict_only");
  const JsonValue v = r.to_json_value();
  EXPECT_EQ(keys_of(v), (std::vector<std::string>{"status", "best_index", "input_stats",
                                                  "candidates", "partial", "errors", "metrics",
                                                  "debug"}));
  EXPECT_TRUE(v.find("best_index")->is_null());
  EXPECT_TRUE(v.find("partial")->is_null());
  EXPECT_TRUE(v.find("debug")->is_null());
  EXPECT_TRUE(v.find("candidates")->as_array().empty());
  EXPECT_EQ(to_compact_string(*v.find("errors")),
            R"([{"kind":"JSONDecodeError","at":3,"message":"unexpected byte: 93"}])");
  EXPECT_EQ(to_compact_string(*v.find("input_stats")),
            R"({"input_bytes":4,"extracted_span":[0,4],"prefix_skipped_bytes":0,"suffix_skipped_bytes":0})");
}

TEST(RepairResult, PartialAndDebugRenderWhenSet) {
  RepairResult r;
  r.status = "partial";
  r.best_index = 0;
  r.partial = PartialResult{JsonValue::array({}), {Span{5, 9}}};
  r.debug = JsonValue::object({});
  r.metrics = Metrics::make("probabilistic");
  const JsonValue v = r.to_json_value();
  EXPECT_EQ(to_compact_string(*v.find("partial")), R"({"extracted":[],"dropped_spans":[[5,9]]})");
  EXPECT_EQ(v.find("best_index")->as_uint(), 0u);
  EXPECT_TRUE(v.find("debug")->is_object());
  PartialResult empty;
  EXPECT_EQ(to_compact_string(empty.to_json_value()), R"({"extracted":null,"dropped_spans":[]})");
}

TEST(Millis, NeverNegativeAndWhole) {
  const auto now = std::chrono::steady_clock::now();
  EXPECT_EQ(millis_since(now + std::chrono::hours(1)), 0u);
  EXPECT_GE(millis_since(now - std::chrono::milliseconds(1500)), 1500u);
}

}  // namespace
}  // namespace velvin

namespace velvin {
namespace {

TEST(RepairResult, MovingRenderingEqualsCopyingRendering) {
  RepairResult r;
  r.status = "partial";
  r.best_index = 0;
  Candidate c;
  c.value = parse_strict_json(R"({"a":[1,2.5,"x"]})").value();
  c.ir = JsonValue::string("ir");
  c.normalized_json = R"({"a":[1,2.5,"x"]})";
  c.repairs.push_back(RepairAction::make("insert_missing_closer", 0.5));
  r.candidates.push_back(c);
  r.partial = PartialResult{c.value, {Span{1, 3}}};
  r.debug = JsonValue::object({JsonMember{"extraction", JsonValue::null()}});
  r.metrics = Metrics::make("probabilistic");
  const JsonValue copied = r.to_json_value();
  EXPECT_EQ(std::move(r).into_json_value(), copied);
}

}  // namespace
}  // namespace velvin
