#include "core/records.hpp"

#include <algorithm>
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

JsonValue repairs_to_json(const std::vector<RepairAction>& repairs, const StageTexts& texts) {
  JsonArray items;
  items.reserve(repairs.size());
  for (const RepairAction& r : repairs) items.push_back(r.to_json_value(texts.text_of(r.origin())));
  return JsonValue::array(std::move(items));
}

template <typename Record>
JsonValue records_to_json(const std::vector<Record>& records) {
  JsonArray items;
  items.reserve(records.size());
  for (const Record& r : records) items.push_back(r.to_json_value());
  return JsonValue::array(std::move(items));
}

JsonValue candidates_to_json(const std::vector<Candidate>& candidates, const StageTexts& texts) {
  JsonArray items;
  items.reserve(candidates.size());
  for (const Candidate& c : candidates) items.push_back(c.to_json_value(texts));
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

static_assert(sizeof(RepairAction) <= 48, "a flood of repairs keeps every action small");

std::string_view StageTexts::text_of(Origin origin) const noexcept {
  switch (origin.stage) {
    case Stage::Heuristic:
      return origin.step < heuristic.size() ? std::string_view(heuristic[origin.step]) : "";
    case Stage::Beam:
      if (origin.step == 0) return beam;
      return origin.step <= reruns.size() ? std::string_view(reruns[origin.step - 1]) : "";
    case Stage::Reading:
      return origin.step < readings.size() ? std::string_view(readings[origin.step]) : "";
    default:
      return {};
  }
}

namespace {

constexpr std::string_view kTokenTexts[] = {"", "", ",", ":", "null", "}", "]"};

}  // namespace

RepairAction::RepairAction(const RepairAction& other)
    : cost_delta(other.cost_delta),
      first_(other.first_),
      second_(other.second_),
      at_(other.at_),
      texts_(other.texts_ ? std::make_unique<OwnTexts>(*other.texts_) : nullptr),
      op_(other.op_),
      stage_(other.stage_),
      token_(other.token_),
      note_(other.note_),
      flags_(other.flags_),
      step_(other.step_) {}

RepairAction& RepairAction::operator=(const RepairAction& other) {
  if (this != &other) *this = RepairAction(other);
  return *this;
}

RepairAction RepairAction::make(Op op, Origin origin, double cost_delta) {
  RepairAction action;
  action.op_ = op;
  action.cost_delta = cost_delta;
  action.set_origin(origin);
  return action;
}

RepairAction RepairAction::make(std::string_view op, double cost_delta) {
  RepairAction action;
  action.cost_delta = cost_delta;
  if (const std::optional<Op> known = op_from_word(op)) {
    action.op_ = *known;
  } else if (!op.empty()) {
    action.own_texts().op = std::string(op);
  }
  return action;
}

RepairAction::OwnTexts& RepairAction::own_texts() {
  if (!texts_) texts_ = std::make_unique<OwnTexts>();
  return *texts_;
}

std::string_view RepairAction::op_word() const noexcept {
  if (op_ != Op::Custom) return velvin::op_word(op_);
  return texts_ ? std::string_view(texts_->op) : std::string_view();
}

void RepairAction::set_origin(Origin origin) noexcept {
  stage_ = origin.stage;
  step_ = origin.step;
}

std::optional<Span> RepairAction::span() const noexcept {
  if ((flags_ & kHasSpan) == 0) return std::nullopt;
  return Span{first_, second_};
}

void RepairAction::set_span(Span span) noexcept {
  first_ = span.start;
  second_ = span.end;
  flags_ |= kHasSpan;
}

std::optional<std::uint64_t> RepairAction::at() const noexcept {
  if ((flags_ & kHasAt) == 0) return std::nullopt;
  return at_;
}

void RepairAction::set_at(std::uint64_t at) noexcept {
  at_ = at;
  flags_ |= kHasAt;
}

std::optional<std::string_view> RepairAction::token() const noexcept {
  switch (token_) {
    case TokenCode::None: return std::nullopt;
    case TokenCode::Text: return std::string_view(texts_->token);
    default: return kTokenTexts[static_cast<std::size_t>(token_)];
  }
}

void RepairAction::set_token(std::string_view token) {
  for (std::size_t code = static_cast<std::size_t>(TokenCode::Comma);
       code < std::size(kTokenTexts); ++code) {
    if (token == kTokenTexts[code]) {
      token_ = static_cast<TokenCode>(code);
      return;
    }
  }
  own_texts().token = std::string(token);
  token_ = TokenCode::Text;
}

void RepairAction::set_note(std::string_view note) {
  own_texts().note = std::string(note);
  note_ = NoteKind::Text;
}

void RepairAction::set_word_note(NoteKind kind) noexcept { note_ = kind; }

void RepairAction::set_container_counts(std::uint64_t braces, std::uint64_t brackets) noexcept {
  first_ = braces;
  second_ = brackets;
  note_ = NoteKind::ContainerCounts;
}

// The span's bytes in `text`, cut to what `text` holds (a text that is missing gives "").
std::string_view RepairAction::word_in_span(std::string_view text) const noexcept {
  const std::size_t start = std::min<std::uint64_t>(first_, text.size());
  const std::size_t end = std::min<std::uint64_t>(std::max(first_, second_), text.size());
  return text.substr(start, end - start);
}

void RepairAction::append_note(std::string& out, std::string_view text) const {
  const std::string_view word = word_in_span(text);
  switch (note_) {
    case NoteKind::None:
      return;
    case NoteKind::Text:
      out.append(texts_->note);
      return;
    case NoteKind::QuotedWord:
      out.append(word).append(" -> \"").append(word).append("\"");
      return;
    case NoteKind::PythonLiteral:
      out.append(word).append("->").append(python_literal_json(word));
      return;
    case NoteKind::WordToNull:
      out.append(word).append(" -> null");
      return;
    case NoteKind::ContainerCounts:
      out.append("brace=").append(std::to_string(first_));
      out.append(", bracket=").append(std::to_string(second_));
      return;
  }
}

std::optional<std::string> RepairAction::note(std::string_view text) const {
  if (note_ == NoteKind::None) return std::nullopt;
  std::string out;
  append_note(out, text);
  return out;
}

bool operator==(const RepairAction& a, const RepairAction& b) noexcept {
  if (a.op_word() != b.op_word() || a.span() != b.span() || a.at() != b.at() ||
      a.token() != b.token() || a.cost_delta != b.cost_delta || a.note_ != b.note_) {
    return false;
  }
  switch (a.note_) {
    case NoteKind::Text:
      return a.texts_->note == b.texts_->note;
    case NoteKind::ContainerCounts:
      return a.first_ == b.first_ && a.second_ == b.second_;
    default:
      return true;
  }
}

JsonValue RepairAction::to_json_value(std::string_view text) const {
  const std::optional<Span> s = span();
  const std::optional<std::string_view> t = token();
  return ObjectBuilder(6)
      .add("op", JsonValue::string(op_word()))
      .add("span", s ? span_to_json(*s) : JsonValue::null())
      .add("at", opt_uint(at()))
      .add("token", t ? JsonValue::string(*t) : JsonValue::null())
      .add("cost_delta", JsonValue::number(cost_delta))
      .add("note", note_ != NoteKind::None ? JsonValue::string(*note(text)) : JsonValue::null())
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

JsonValue Candidate::to_json_value(const StageTexts& texts) const {
  return render(opt_value(value), opt_value(ir), texts);
}

JsonValue Candidate::into_json_value(const StageTexts& texts) && {
  JsonValue rendered = render(take_value(value), take_value(ir), texts);
  // Released at once: a long repair list exists twice only while it is being rendered.
  std::vector<RepairAction>().swap(repairs);
  return rendered;
}

JsonValue Candidate::render(JsonValue value_json, JsonValue ir_json,
                            const StageTexts& texts) const {
  return ObjectBuilder(10)
      .add("candidate_id", JsonValue::uinteger(candidate_id))
      .add("value", std::move(value_json))
      .add("normalized_json", opt_string(normalized_json))
      .add("ir", std::move(ir_json))
      .add("confidence", JsonValue::number(confidence))
      .add("cost", JsonValue::number(cost))
      .add("repairs", repairs_to_json(repairs, texts))
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
      .add("candidates", candidates_to_json(candidates, texts))
      .add("partial", partial ? partial->to_json_value() : JsonValue::null())
      .add("errors", records_to_json(errors))
      .add("metrics", metrics.to_json_value())
      .add("debug", opt_value(debug))
      .build();
}

JsonValue RepairResult::into_json_value() && {
  JsonArray rendered;
  rendered.reserve(candidates.size());
  for (Candidate& c : candidates) rendered.push_back(std::move(c).into_json_value(texts));
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

namespace {

// Who went past max_total_repairs, and the text its positions index.
std::pair<std::string_view, std::string_view> limit_stage_and_text(Stage stage) {
  switch (stage) {
    case Stage::Extraction: return {"extraction", "the input"};
    case Stage::Heuristic: return {"the heuristic repair", "the text its pass started from"};
    case Stage::Reading: return {"the second reading", "the text it read"};
    default: return {"the beam search", "the text it read"};
  }
}

}  // namespace

const Candidate* best_candidate(const RepairResult& result) noexcept {
  if (!result.best_index || *result.best_index >= result.candidates.size()) return nullptr;
  return &result.candidates[*result.best_index];
}

Candidate* best_candidate(RepairResult& result) noexcept {
  return const_cast<Candidate*>(best_candidate(std::as_const(result)));
}

Error repair_limit_error(std::uint64_t limit, Stage stage, std::uint64_t position) {
  std::string message = "the document needs more repairs than max_total_repairs allows (" +
                        std::to_string(limit) + "); ";
  if (stage == Stage::Given) {
    message += "the base repairs given are more already";
  } else {
    const auto [who, text] = limit_stage_and_text(stage);
    message.append(who).append(" went past the limit at byte ").append(std::to_string(position));
    message.append(" of ").append(text);
  }
  return Error{ErrorCode::repair_limit_exceeded, position, std::move(message)};
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
