// The records a repair run produces (actions, candidates, errors, metrics, the result). Each
// record renders itself as a JsonValue object with a fixed key order; the rendering of
// RepairResult is the result document that parse_py hands to Python.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "core/options.hpp"

namespace velvin {

__extension__ typedef unsigned __int128 u128;

// A byte range (start, end), end exclusive.
struct Span {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  friend bool operator==(const Span&, const Span&) = default;
};

JsonValue span_to_json(const Span& span);

struct RepairAction {
  std::string op;
  std::optional<Span> span;
  std::optional<std::uint64_t> at;
  std::optional<std::string> token;
  double cost_delta = 0.0;
  std::optional<std::string> note;

  // An action with only its op word and cost; stages fill the optional fields they need.
  [[nodiscard]] static RepairAction make(std::string_view op, double cost_delta);
  [[nodiscard]] JsonValue to_json_value() const;
  friend bool operator==(const RepairAction&, const RepairAction&) = default;
};

struct CandidateValidations {
  bool strict_json_parse = false;
  std::optional<double> schema_match;
  [[nodiscard]] JsonValue to_json_value() const;
};

struct CandidateDiagnostics {
  std::uint64_t garbage_skipped_bytes = 0;
  std::uint64_t deleted_tokens = 0;
  std::uint64_t inserted_tokens = 0;
  std::uint64_t close_open_string_count = 0;
  std::optional<std::uint64_t> beam_width;
  std::optional<std::uint64_t> max_repairs;
  [[nodiscard]] JsonValue to_json_value() const;
};

// Confidence of a candidate that cost `cost`: exp(-alpha * cost). Where that underflows (a cost
// above about 1,000 at the default alpha: thousands of repairs) the result is the smallest
// positive double rather than 0.0, so a candidate that was found never claims no confidence.
[[nodiscard]] double confidence_for_cost(double alpha, double cost) noexcept;

struct Candidate {
  std::uint64_t candidate_id = 0;
  std::optional<JsonValue> value;
  std::optional<std::string> normalized_json;
  std::optional<JsonValue> ir;
  double confidence = 0.0;
  double cost = 0.0;
  std::vector<RepairAction> repairs;
  CandidateValidations validations;
  CandidateDiagnostics diagnostics;
  std::vector<Span> dropped_spans;
  // Made by the reading mode of the search (not rendered): the pipeline judges such a
  // candidate's completeness by its own repairs.
  bool reread = false;
  [[nodiscard]] JsonValue to_json_value() const;
  // The same rendering, moving the value trees out instead of copying them.
  [[nodiscard]] JsonValue into_json_value() &&;

 private:
  [[nodiscard]] JsonValue render(JsonValue value_json, JsonValue ir_json) const;
};

struct ParseError {
  std::string kind;
  std::optional<std::uint64_t> at;
  std::optional<std::string> message;
  [[nodiscard]] JsonValue to_json_value() const;
};

struct PartialResult {
  std::optional<JsonValue> extracted;
  std::vector<Span> dropped_spans;
  [[nodiscard]] JsonValue to_json_value() const;
  [[nodiscard]] JsonValue into_json_value() &&;
};

struct InputStats {
  std::uint64_t input_bytes = 0;
  Span extracted_span;
  std::uint64_t prefix_skipped_bytes = 0;
  std::uint64_t suffix_skipped_bytes = 0;
  [[nodiscard]] JsonValue to_json_value() const;
};

struct Metrics {
  std::string mode_used;
  u128 elapsed_ms = 0;
  std::uint64_t beam_width = 0;
  std::uint64_t max_repairs = 0;
  std::uint64_t llm_calls = 0;
  u128 llm_time_ms = 0;
  std::optional<std::string> llm_trigger;
  std::string split_mode;
  std::uint64_t parallel_workers = 0;
  std::uint64_t elements = 0;
  double structural_density = 0.0;

  // Every count and time 0, split_mode empty, llm_trigger absent.
  [[nodiscard]] static Metrics make(std::string_view mode_used);
  [[nodiscard]] JsonValue to_json_value() const;
};

struct RepairResult {
  std::string status;
  std::optional<std::uint64_t> best_index;
  InputStats input_stats;
  std::vector<Candidate> candidates;
  std::optional<PartialResult> partial;
  std::vector<ParseError> errors;
  Metrics metrics;
  std::optional<JsonValue> debug;
  [[nodiscard]] JsonValue to_json_value() const;
  // The result document built by moving the values out of the record (no deep copies); what
  // parse_py hands to Python.
  [[nodiscard]] JsonValue into_json_value() &&;
};

// Whole milliseconds elapsed since `start` on the monotonic clock (sub-millisecond part dropped).
[[nodiscard]] u128 millis_since(std::chrono::steady_clock::time_point start);

}  // namespace velvin
