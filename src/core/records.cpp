#include "core/records.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace velvin {

namespace {

JsonValue opt_uint(const std::optional<std::uint64_t>& v) {
  return v ? JsonValue::uinteger(*v) : JsonValue::null();
}

JsonValue opt_string(const std::optional<std::string>& v) {
  return v ? JsonValue::string(*v) : JsonValue::null();
}

JsonValue opt_value(const std::optional<JsonValue>& v) { return v ? v->clone() : JsonValue::null(); }

JsonValue take_value(std::optional<JsonValue>& v) {
  return v ? std::move(*v) : JsonValue::null();
}

JsonValue low_bits(u128 v) { return JsonValue::uinteger(static_cast<std::uint64_t>(v)); }

JsonValue spans_to_json(const std::vector<Span>& spans) {
  JsonArray items;
  items.reserve(spans.size());
  for (const Span& s : spans) items.push_back(span_to_json(s));
  return JsonValue::array(std::move(items));
}

template <typename Record>
JsonValue records_to_json(const std::vector<Record>& records) {
  JsonArray items;
  items.reserve(records.size());
  for (const Record& r : records) items.push_back(r.to_json_value());
  return JsonValue::array(std::move(items));
}

// Builds an object from (key, value) pairs in the order given.
class ObjectBuilder {
 public:
  explicit ObjectBuilder(std::size_t n) { members_.reserve(n); }
  ObjectBuilder& add(std::string_view key, JsonValue value) {
    members_.push_back(JsonMember{std::string(key), std::move(value)});
    return *this;
  }
  JsonValue build() { return JsonValue::object(std::move(members_)); }

 private:
  JsonObject members_;
};

}  // namespace

JsonValue span_to_json(const Span& span) {
  JsonArray pair;
  pair.reserve(2);
  pair.push_back(JsonValue::uinteger(span.start));
  pair.push_back(JsonValue::uinteger(span.end));
  return JsonValue::array(std::move(pair));
}

RepairAction RepairAction::make(std::string_view op, double cost_delta) {
  RepairAction action;
  action.op = std::string(op);
  action.cost_delta = cost_delta;
  return action;
}

JsonValue RepairAction::to_json_value() const {
  return ObjectBuilder(6)
      .add("op", JsonValue::string(op))
      .add("span", span ? span_to_json(*span) : JsonValue::null())
      .add("at", opt_uint(at))
      .add("token", opt_string(token))
      .add("cost_delta", JsonValue::number(cost_delta))
      .add("note", opt_string(note))
      .build();
}

JsonValue CandidateValidations::to_json_value() const {
  return ObjectBuilder(2)
      .add("strict_json_parse", JsonValue::boolean(strict_json_parse))
      .add("schema_match", schema_match ? JsonValue::number(*schema_match) : JsonValue::null())
      .build();
}

JsonValue CandidateDiagnostics::to_json_value() const {
  return ObjectBuilder(6)
      .add("garbage_skipped_bytes", JsonValue::uinteger(garbage_skipped_bytes))
      .add("deleted_tokens", JsonValue::uinteger(deleted_tokens))
      .add("inserted_tokens", JsonValue::uinteger(inserted_tokens))
      .add("close_open_string_count", JsonValue::uinteger(close_open_string_count))
      .add("beam_width", opt_uint(beam_width))
      .add("max_repairs", opt_uint(max_repairs))
      .build();
}

JsonValue Candidate::to_json_value() const { return render(opt_value(value), opt_value(ir)); }

JsonValue Candidate::into_json_value() && {
  JsonValue rendered = render(take_value(value), take_value(ir));
  // Released at once: a long repair list exists twice only while it is being rendered.
  std::vector<RepairAction>().swap(repairs);
  return rendered;
}

JsonValue Candidate::render(JsonValue value_json, JsonValue ir_json) const {
  return ObjectBuilder(10)
      .add("candidate_id", JsonValue::uinteger(candidate_id))
      .add("value", std::move(value_json))
      .add("normalized_json", opt_string(normalized_json))
      .add("ir", std::move(ir_json))
      .add("confidence", JsonValue::number(confidence))
      .add("cost", JsonValue::number(cost))
      .add("repairs", records_to_json(repairs))
      .add("validations", validations.to_json_value())
      .add("diagnostics", diagnostics.to_json_value())
      .add("dropped_spans", spans_to_json(dropped_spans))
      .build();
}

JsonValue ParseError::to_json_value() const {
  return ObjectBuilder(3)
      .add("kind", JsonValue::string(kind))
      .add("at", opt_uint(at))
      .add("message", opt_string(message))
      .build();
}

JsonValue PartialResult::to_json_value() const {
  return ObjectBuilder(2)
      .add("extracted", opt_value(extracted))
      .add("dropped_spans", spans_to_json(dropped_spans))
      .build();
}

JsonValue PartialResult::into_json_value() && {
  return ObjectBuilder(2)
      .add("extracted", take_value(extracted))
      .add("dropped_spans", spans_to_json(dropped_spans))
      .build();
}

JsonValue InputStats::to_json_value() const {
  return ObjectBuilder(4)
      .add("input_bytes", JsonValue::uinteger(input_bytes))
      .add("extracted_span", span_to_json(extracted_span))
      .add("prefix_skipped_bytes", JsonValue::uinteger(prefix_skipped_bytes))
      .add("suffix_skipped_bytes", JsonValue::uinteger(suffix_skipped_bytes))
      .build();
}

Metrics Metrics::make(std::string_view mode_used) {
  Metrics m;
  m.mode_used = std::string(mode_used);
  return m;
}

JsonValue Metrics::to_json_value() const {
  return ObjectBuilder(11)
      .add("mode_used", JsonValue::string(mode_used))
      .add("elapsed_ms", low_bits(elapsed_ms))
      .add("beam_width", JsonValue::uinteger(beam_width))
      .add("max_repairs", JsonValue::uinteger(max_repairs))
      .add("llm_calls", JsonValue::uinteger(llm_calls))
      .add("llm_time_ms", low_bits(llm_time_ms))
      .add("llm_trigger", opt_string(llm_trigger))
      .add("split_mode", JsonValue::string(split_mode))
      .add("parallel_workers", JsonValue::uinteger(parallel_workers))
      .add("elements", JsonValue::uinteger(elements))
      .add("structural_density", JsonValue::number(structural_density))
      .build();
}

JsonValue RepairResult::to_json_value() const {
  return ObjectBuilder(8)
      .add("status", JsonValue::string(status))
      .add("best_index", opt_uint(best_index))
      .add("input_stats", input_stats.to_json_value())
      .add("candidates", records_to_json(candidates))
      .add("partial", partial ? partial->to_json_value() : JsonValue::null())
      .add("errors", records_to_json(errors))
      .add("metrics", metrics.to_json_value())
      .add("debug", opt_value(debug))
      .build();
}

JsonValue RepairResult::into_json_value() && {
  JsonArray rendered;
  rendered.reserve(candidates.size());
  for (Candidate& c : candidates) rendered.push_back(std::move(c).into_json_value());
  return ObjectBuilder(8)
      .add("status", JsonValue::string(status))
      .add("best_index", opt_uint(best_index))
      .add("input_stats", input_stats.to_json_value())
      .add("candidates", JsonValue::array(std::move(rendered)))
      .add("partial", partial ? std::move(*partial).into_json_value() : JsonValue::null())
      .add("errors", records_to_json(errors))
      .add("metrics", metrics.to_json_value())
      .add("debug", take_value(debug))
      .build();
}

u128 millis_since(std::chrono::steady_clock::time_point start) {
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  return nanos <= 0 ? 0 : static_cast<u128>(nanos) / 1000000;
}

double confidence_for_cost(double alpha, double cost) noexcept {
  const double confidence = std::exp(-alpha * cost);
  return confidence == 0.0 ? std::numeric_limits<double>::denorm_min() : confidence;
}

}  // namespace velvin
