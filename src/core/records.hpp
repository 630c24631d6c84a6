// The records a repair run produces (actions, candidates, errors, metrics, the result). Each
// record renders itself as a JsonValue object with a fixed key order; the rendering of
// RepairResult is the result document that parse_py hands to Python.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/json.hpp"
#include "core/ops.hpp"
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

// Where a repair was made and so which text its span and `at` index: the input (Extraction);
// the text heuristic pass `step` started from (Heuristic; passes count from 0 and only those that
// changed the text count); the text the beam search read (Beam, `step` 0) or the patched text
// of language-model rerun `step` (Beam and LanguageModel, from 1); what the reading mode read
// (Reading: `step` 0 the extracted text, 1 the document decoded from its escaped form, 2 the
// text from the JSON's start to the end); a caller's text (Given).
struct Origin {
  Stage stage = Stage::Given;
  std::uint16_t step = 0;
  friend bool operator==(const Origin&, const Origin&) = default;
};

// A note that is rendered when asked for. Most are built from the action itself: the word in
// its span (in the text the span indexes) or the counts of close_containers; `Text` is a note
// of its own, such as a language-model patch id or a caller's note.
enum class NoteKind : std::uint8_t {
  None,
  Text,             // kept as given
  QuotedWord,       // `a -> "a"`
  PythonLiteral,    // `True->true`
  WordToNull,       // `None -> null`
  ContainerCounts,  // `brace=1, bracket=2`
};

// The texts that repair offsets index, other than the input (which its caller keeps). Made by
// the pipeline from the heuristic's texts, the beam's text and the language-model reruns; read by
// the renderers of notes and by the explanation. Each text is held once: a heuristic pass that
// changed nothing has no text of its own.
struct StageTexts {
  std::vector<std::string> heuristic;  // [k]: the text heuristic pass k started from
  std::string beam;                    // the text the beam search read (the heuristic's output)
  std::vector<std::string> reruns;     // [r - 1]: the patched text language-model rerun r read
  std::vector<std::string> readings;   // what the reading mode read: [0] the extracted text,
                                       // [1] the document decoded from its escaped form, [2] the
                                       // text from the JSON's start to the end (empty: not read)

  // The text that offsets of `origin` index; empty for the input and for a caller's text.
  [[nodiscard]] std::string_view text_of(Origin origin) const noexcept;
};

// One repair applied to the text, in 48 bytes: the op as its registry code, offsets as integers
// with presence flags, the token as a code for the usual texts, the note as a kind to render
// later. Words, tokens and notes outside those (from a caller or a language model) live in a
// side allocation that only such actions have.
class RepairAction {
 public:
  RepairAction() = default;
  RepairAction(const RepairAction& other);
  RepairAction(RepairAction&&) noexcept = default;
  RepairAction& operator=(const RepairAction& other);
  RepairAction& operator=(RepairAction&&) noexcept = default;
  ~RepairAction() = default;

  // A registry op made at `origin`, costing `cost_delta` (computed from the registry's rule).
  [[nodiscard]] static RepairAction make(Op op, Origin origin, double cost_delta);
  // An action with any op word (a caller's): registry words are kept as their code, any other
  // text as given. Origin Given; span, at, token and note absent.
  [[nodiscard]] static RepairAction make(std::string_view op, double cost_delta);

  double cost_delta = 0.0;

  [[nodiscard]] Op op() const noexcept { return op_; }
  [[nodiscard]] std::string_view op_word() const noexcept;
  [[nodiscard]] Origin origin() const noexcept { return {stage_, step_}; }
  void set_origin(Origin origin) noexcept;

  [[nodiscard]] std::optional<Span> span() const noexcept;
  void set_span(Span span) noexcept;
  [[nodiscard]] std::optional<std::uint64_t> at() const noexcept;
  void set_at(std::uint64_t at) noexcept;

  // The inserted token: ",", ":", "null", "}" and "]" are codes, any other text is kept.
  [[nodiscard]] std::optional<std::string_view> token() const noexcept;
  void set_token(std::string_view token);

  [[nodiscard]] NoteKind note_kind() const noexcept { return note_; }
  void set_note(std::string_view note);      // a note of its own
  void set_word_note(NoteKind kind) noexcept;  // QuotedWord, PythonLiteral or WordToNull
  // close_containers' note; the counts take the place of the span, which that op never has.
  void set_container_counts(std::uint64_t braces, std::uint64_t brackets) noexcept;
  // The note, given the text the action's offsets index (see Origin and StageTexts).
  [[nodiscard]] std::optional<std::string> note(std::string_view text) const;
  // Appends the note (nothing when there is none).
  void append_note(std::string& out, std::string_view text) const;

  // `text`: the text the offsets index, for the notes built from it.
  [[nodiscard]] JsonValue to_json_value(std::string_view text = {}) const;
  // Same op, offsets, token, cost and note (the origin is not compared).
  friend bool operator==(const RepairAction& a, const RepairAction& b) noexcept;

 private:
  enum class TokenCode : std::uint8_t { None, Text, Comma, Colon, Null, CloseBrace, CloseBracket };
  static constexpr std::uint8_t kHasSpan = 1;
  static constexpr std::uint8_t kHasAt = 2;

  // What only actions with words, tokens or notes of their own have.
  struct OwnTexts {
    std::string op, token, note;
  };
  OwnTexts& own_texts();
  [[nodiscard]] std::string_view word_in_span(std::string_view text) const noexcept;

  std::uint64_t first_ = 0;   // span start, or close_containers' brace count
  std::uint64_t second_ = 0;  // span end, or close_containers' bracket count
  std::uint64_t at_ = 0;
  std::unique_ptr<OwnTexts> texts_;
  Op op_ = Op::Custom;
  Stage stage_ = Stage::Given;
  TokenCode token_ = TokenCode::None;
  NoteKind note_ = NoteKind::None;
  std::uint8_t flags_ = 0;
  std::uint16_t step_ = 0;
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
  // Set (not rendered) when a caller's reader took the value from this span of the decoded
  // input, valid JSON: value and normalized_json are then empty, and normalized_json is the
  // compact form of that text.
  std::optional<Span> value_source;
  // `texts`: the texts the repairs' offsets index, for the notes built from them.
  [[nodiscard]] JsonValue to_json_value(const StageTexts& texts = {}) const;
  // The same rendering, moving the value trees out instead of copying them.
  [[nodiscard]] JsonValue into_json_value(const StageTexts& texts = {}) &&;

 private:
  [[nodiscard]] JsonValue render(JsonValue value_json, JsonValue ir_json,
                                 const StageTexts& texts) const;
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

// What the pipeline hands back: made by parse_bytes, read by parse_py, the velvin tool and the
// explanation. Repair offsets index the input or one of `texts` (see Origin).
struct RepairResult {
  std::string status;
  std::optional<std::uint64_t> best_index;
  InputStats input_stats;
  std::vector<Candidate> candidates;
  std::optional<PartialResult> partial;
  std::vector<ParseError> errors;
  Metrics metrics;
  std::optional<JsonValue> debug;
  StageTexts texts;  // not rendered: what the repairs' notes and the explanation read
  [[nodiscard]] JsonValue to_json_value() const;
  // The result document built by moving the values out of the record (no deep copies); what
  // parse_py hands to Python.
  [[nodiscard]] JsonValue into_json_value() &&;
};

// The candidate that best_index designates, or nullptr when the result has none.
[[nodiscard]] const Candidate* best_candidate(const RepairResult& result) noexcept;
[[nodiscard]] Candidate* best_candidate(RepairResult& result) noexcept;

// The error of a document that needs more repairs than `limit` (max_total_repairs): code
// repair_limit_exceeded, `position` the byte where `stage` wanted the repair past the limit, in
// the text that stage was reading, which the message names. Stage Given: the base repairs handed
// to the beam search are already more than the limit (position 0).
[[nodiscard]] Error repair_limit_error(std::uint64_t limit, Stage stage, std::uint64_t position);

// The error record of the result document for it.
inline constexpr std::string_view kRepairLimitKind = "RepairLimitExceeded";

// Whole milliseconds elapsed since `start` on the monotonic clock (sub-millisecond part dropped).
[[nodiscard]] u128 millis_since(std::chrono::steady_clock::time_point start);

}  // namespace velvin
