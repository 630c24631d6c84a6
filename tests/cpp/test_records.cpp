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
  a.span = Span{3, 9};
  a.at = 5;
  a.token = ",";
  a.note = "n";
  EXPECT_EQ(to_compact_string(a.to_json_value()),
            R"({"op":"insert_missing_comma","span":[3,9],"at":5,"token":",","cost_delta":0.7,"note":"n"})");
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
