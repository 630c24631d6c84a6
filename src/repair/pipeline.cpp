#include "repair/pipeline.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "repair/beam.hpp"
#include "core/options.hpp"
#include "core/scan.hpp"
#include "repair/heuristic.hpp"
#include "repair/lexer.hpp"
#include "llm/fallback.hpp"
#include "scale/scale.hpp"
#include "repair/schema.hpp"
#include "core/strict.hpp"

namespace velvin {

namespace {

using Clock = std::chrono::steady_clock;

// Tape entries rendered into the result document when the debug option asks for them.
constexpr std::size_t kTapeEntriesShown = 10000;

// ---- ranking ----

// Maps a double onto a signed integer whose order is the IEEE 754 total order (-NaN < -inf <
// ... < -0.0 < +0.0 < ... < +inf < +NaN), so float keys always compare.
std::int64_t total_order_key(double d) {
  auto bits = std::bit_cast<std::int64_t>(d);
  bits ^= static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
  return bits;
}

std::uint64_t dropped_bytes(const Candidate& c) {
  std::uint64_t total = 0;
  for (const Span& s : c.dropped_spans) total += s.end > s.start ? s.end - s.start : 0;
  return total;
}

// Negative when a ranks before b.
int compare_rank(const Candidate& a, const Candidate& b) {
  auto cmp = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
  // Higher is better for the first two keys, so they compare b against a.
  if (int c = cmp(total_order_key(b.validations.schema_match.value_or(0.0)),
                  total_order_key(a.validations.schema_match.value_or(0.0))))
    return c;
  if (int c = cmp(total_order_key(b.confidence), total_order_key(a.confidence))) return c;
  if (int c = cmp(total_order_key(a.cost), total_order_key(b.cost))) return c;
  if (int c = cmp(a.diagnostics.deleted_tokens, b.diagnostics.deleted_tokens)) return c;
  if (int c = cmp(a.diagnostics.close_open_string_count, b.diagnostics.close_open_string_count))
    return c;
  if (int c = cmp(dropped_bytes(a), dropped_bytes(b))) return c;
  const auto text_len = [](const Candidate& c) {
    return c.normalized_json ? c.normalized_json->size() : std::size_t{0};
  };
  if (int c = cmp(text_len(b), text_len(a))) return c;  // longer text first
  if (int c = cmp(a.repairs.size(), b.repairs.size())) return c;
  return cmp(a.candidate_id, b.candidate_id);
}

// The value of `text` when it is one JSON string, white space around it allowed; nullopt
// without a parse when it does not begin as one.
std::optional<JsonValue> root_string_document(std::string_view text) {
  const std::size_t i = scan::skip_space(text.data(), 0, text.size());
  if (i == text.size() || text[i] != '"') return std::nullopt;
  JsonResult whole = strict_parse(text);
  if (!whole) return std::nullopt;
  return std::move(whole).value();
}

// The value of `text` when it is one JSON document that begins with a bracket and holds a code
// fence inside a string ({"code": "```json [1] ```"}): the fence search does not know strings.
std::optional<JsonValue> fenced_string_document(std::string_view text) {
  const std::size_t i = scan::skip_space(text.data(), 0, text.size());
  if (i == text.size() || (text[i] != '{' && text[i] != '[')) return std::nullopt;
  JsonResult whole = strict_parse(text);
  if (!whole) return std::nullopt;
  return std::move(whole).value();
}

// ---- one run of the pipeline ----

// Where the text a run reads stands in the whole input. A piece of a text that holds several
// values is read on its own, while the offsets that index the input (the extracted span, the
// extraction's repairs) and the input statistics count in the whole text.
struct Frame {
  std::uint64_t base = 0;         // where the piece starts in the whole decoded text
  std::uint64_t input_bytes = 0;  // length of the whole raw input
  std::uint64_t text_bytes = 0;   // length of the whole decoded text
};

class PipelineRun {
 public:
  PipelineRun(std::string_view bytes, const RepairOptions& options,
              std::optional<Frame> frame = std::nullopt, WholeDocumentParser* whole = nullptr)
      : bytes_(bytes), options_(options), start_(Clock::now()), frame_(frame), whole_(whole) {}

  RepairResult run() {
    if (auto scaled = scale_route()) return std::move(*scaled);
    // Valid input (the common case) is read in place; only invalid bytes force a decoded copy.
    std::string decoded;
    std::string_view text = bytes_;
    if (!is_valid_utf8(bytes_)) {
      decoded = decode_utf8_lossy(bytes_);
      text = decoded;
    }
    if (auto read = valid_bracketed_document(text)) return std::move(*read);
    extraction_ = placed(extract_json_candidate(text));
    if (auto whole = whole_document(text)) {
      extraction_ = placed(whole_text_extraction(text));
      stats_ = input_stats(text.size());
      return strict_outcome(std::move(*whole), text.size());
    }
    stats_ = input_stats(text.size());
    if (auto over = extraction_over_limit(extraction_, options_.max_total_repairs)) {
      return limit_outcome(std::move(*over), "strict");
    }

    // A fence's content is trimmed: only other extractions are their span of the text.
    if (!reuses_known_error()) {
      if (auto read = strict_read(extraction_.text, extraction_.method != "code_fence")) {
        return std::move(*read);
      }
    }
    if (options_.mode == "strict_only") return failure_outcome("JSONDecodeError", "strict_only");

    HeuristicResult heuristic =
        heuristic_repair(extraction_.text, options_, extraction_.repairs.size());
    if (heuristic.over_limit) return limit_outcome(std::move(*heuristic.over_limit), "fast_repair");
    // The extraction's few repairs go in front of the heuristic's many, in their list: a flood
    // of repairs then exists once.
    combined_ = std::move(heuristic.repairs);
    combined_.insert(combined_.begin(), extraction_.repairs.begin(), extraction_.repairs.end());
    texts_.heuristic = std::move(heuristic.pass_texts);
    texts_.beam = std::move(heuristic.text);
    const std::string& repaired_text = texts_.beam;
    if (repaired_text != extraction_.text) {
      JsonResult repaired = strict_parse(repaired_text);
      if (repaired) return fast_outcome(std::move(repaired).value(), repaired_text.size());
      last_error_ = repaired.error();
    }
    if (options_.mode == "fast_repair") return failure_outcome("JSONDecodeError", "fast_repair");

    // The language-model step needs the combined list afterwards; otherwise the search takes it.
    const BeamContext context{&texts_, 0, &over_limit_};
    std::vector<Candidate> candidates =
        options_.allow_llm
            ? probabilistic_repair(repaired_text, options_, combined_, context)
            : probabilistic_repair(repaired_text, options_, std::move(combined_), context);
    if (over_limit_) return limit_outcome(std::move(*over_limit_), "probabilistic");
    score_against_schema(candidates);
    candidates = rank_candidates(std::move(candidates));
    if (loses_content(candidates, repaired_text)) read_again(candidates, text);
    llm_step(repaired_text, candidates);
    if (candidates.empty() && over_limit_) {
      return limit_outcome(std::move(*over_limit_), "probabilistic");
    }
    if (candidates.empty()) return failure_outcome("UnrepairableJSON", "probabilistic");
    return beam_outcome(std::move(candidates));
  }

 private:
  // The value of the whole text when it is a JSON document that extraction would cut: a root
  // string that mentions a bracket ("see [1]", or JSON encoded inside a string) is that
  // string, not the bracketed text inside it; a document whose string holds a code fence is
  // that document, not the fence's content. Only these can be valid JSON and still lose text to
  // extraction (the bracket scan follows strings, the fence search does not), so other inputs
  // are not parsed twice.
  std::optional<JsonValue> whole_document(std::string_view text) const {
    if (extraction_.repairs.empty()) return std::nullopt;
    if (extraction_.method == "code_fence") {
      if (auto fenced = fenced_string_document(text)) return fenced;
    }
    return root_string_document(text);
  }

  // Offsets of the text read moved into the whole input (see Frame).
  Span in_input(Span span) const {
    const std::uint64_t base = frame_ ? frame_->base : 0;
    return Span{span.start + base, span.end + base};
  }

  Extraction placed(Extraction extraction) const {
    if (!frame_) return extraction;
    extraction.span = in_input(extraction.span);
    for (RepairAction& a : extraction.repairs) {
      if (const std::optional<Span> span = a.span()) a.set_span(in_input(*span));
    }
    return extraction;
  }

  // The route for huge well-formed documents: mode "scale_pipeline" always takes it (and
  // fails there); mode "auto" takes it for a large input that opens with "[" or "{", and any
  // failure then lets the repair stages run on the same input.
  std::optional<RepairResult> scale_route() {
    const bool forced = options_.mode == "scale_pipeline";
    if (!forced && !(options_.mode == "auto" && automatic_scale_applies())) return std::nullopt;
    const char* mode_used = forced ? "scale_pipeline" : "auto_scale";
    if (options_.scale_output == "tape") {
      ScaleTapeResult tape = parse_root_array_scale_tape(bytes_, options_);
      if (tape) {
        auto& [t, plan] = tape.value();
        JsonValue ir = split_description(plan, t.to_json_value(options_.debug, kTapeEntriesShown));
        return scale_result(std::nullopt, std::move(ir), plan, mode_used);
      }
      if (forced) return scale_failure(std::move(tape).error());
      return std::nullopt;
    }
    ScaleValueResult value = whole_ != nullptr ? parse_root_array_scale(bytes_, options_, *whole_)
                                               : parse_root_array_scale(bytes_, options_);
    if (value) {
      auto& [v, plan] = value.value();
      JsonValue ir = split_description(plan, std::nullopt);
      return scale_result(std::move(v), std::move(ir), plan, mode_used);
    }
    if (forced) return scale_failure(std::move(value).error());
    return std::nullopt;
  }

  bool automatic_scale_applies() const {
    if (declines_automatic_scale_route(options_.allow_parallel)) return false;
    if (bytes_.size() < options_.parallel_threshold_bytes) return false;
    std::size_t i = bytes_.size() >= 3 && bytes_.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
    std::size_t end = bytes_.size();
    i = scan::skip_space(bytes_, i);
    end = scan::skip_space_back(bytes_, i, end);
    return i < end && (bytes_[i] == '[' || bytes_[i] == '{');
  }

  static JsonValue split_description(const SplitPlan& plan, std::optional<JsonValue> tape) {
    JsonObject members;
    members.push_back(JsonMember{"split_mode", JsonValue::string(plan.mode)});
    members.push_back(JsonMember{"chunks", JsonValue::uinteger(plan.chunk_count)});
    members.push_back(JsonMember{"elements", JsonValue::uinteger(plan.elements)});
    if (tape) members.push_back(JsonMember{"tape", std::move(*tape)});
    return JsonValue::object(std::move(members));
  }

  // The scale route's input statistics: the whole input counts as the extracted span.
  InputStats whole_input_stats() const {
    InputStats stats;
    stats.input_bytes = bytes_.size();
    stats.extracted_span = Span{0, bytes_.size()};
    if (frame_) {
      stats.input_bytes = frame_->input_bytes;
      stats.extracted_span = in_input(stats.extracted_span);
      stats.prefix_skipped_bytes = stats.extracted_span.start;
      stats.suffix_skipped_bytes = frame_->text_bytes - stats.extracted_span.end;
    }
    return stats;
  }

  RepairResult scale_result(std::optional<JsonValue> value, JsonValue ir, const SplitPlan& plan,
                            const char* mode_used) const {
    Candidate c;
    c.value = std::move(value);
    c.ir = std::move(ir);
    c.confidence = 1.0;
    c.cost = 0.0;
    c.validations.strict_json_parse = true;  // no schema score on this route
    c.diagnostics.beam_width = 0;
    c.diagnostics.max_repairs = 0;
    RepairResult r;
    r.status = "strict_ok";
    r.best_index = 0;
    r.input_stats = whole_input_stats();
    r.candidates.push_back(std::move(c));
    r.metrics = Metrics::make(mode_used);
    r.metrics.split_mode = plan.mode;
    r.metrics.parallel_workers = options_.parallel_workers.value_or(0);
    r.metrics.elements = plan.elements;
    r.metrics.structural_density = plan.structural_density;
    return finish(std::move(r));
  }

  // The record carries the scale pipeline's message only: its position is not part of it.
  RepairResult scale_failure(Error error) const {
    RepairResult r;
    r.status = "failed";
    r.input_stats = whole_input_stats();
    r.errors.push_back(ParseError{"ScalePipelineError", std::nullopt, std::move(error.message)});
    r.metrics = Metrics::make("scale_pipeline");
    return finish(std::move(r));
  }

  // Whether the best token-level repair gave up part of the text (skipped, deleted, truncated,
  // or put a made-up value in its place), or found nothing: then the text is read again. What
  // it gave up at the very end of a text that was cut off (the half-written last word, the value
  // that never came) no reading can bring back, so that alone does not count.
  bool loses_content(const std::vector<Candidate>& candidates, std::string_view searched) const {
    if (candidates.empty()) return true;
    const std::size_t tail = extraction_.truncated ? last_token_start(searched) : searched.size() + 1;
    return std::any_of(candidates.front().repairs.begin(), candidates.front().repairs.end(),
                       [&](const RepairAction& a) {
                         const std::uint64_t at = a.span() ? a.span()->start : a.at().value_or(0);
                         if (a.op() == Op::TruncateSuffix || a.op() == Op::SynthesizeMissingValue) {
                           return at < tail;
                         }
                         if (a.op() == Op::SkipSuffix) return !is_prose(a, searched);
                         return a.op() == Op::SkipGarbage || a.op() == Op::DeleteUnexpectedToken;
                       });
  }

  // Whether a skipped suffix is prose after the document ("I hope this helps."): no quote,
  // bracket or colon that a misread document could have left behind. A second reading cannot
  // keep more of such text.
  static bool is_prose(const RepairAction& skipped, std::string_view searched) {
    const std::optional<Span> span = skipped.span();
    if (!span || span->end > searched.size() || span->start > span->end) return false;
    return searched.substr(span->start, span->end - span->start).find_first_of("\"{}[]:") ==
           std::string_view::npos;
  }

  // Where the last token of `text` begins: after the last delimiter or white space.
  static std::size_t last_token_start(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && scan::is_json_space(static_cast<unsigned char>(text[end - 1]))) --end;
    std::size_t start = end;
    while (start > 0) {
      const char c = text[start - 1];
      if (scan::is_json_space(static_cast<unsigned char>(c)) || c == ',' || c == ':' || c == '[' ||
          c == '{' || c == '"') {
        break;
      }
      --start;
    }
    return start;
  }

  // The reading mode of the search, on the extracted text itself (the heuristic's rewrite can
  // already have cut what the model meant); its repair budget grows with the text it reads. Its
  // candidates join the ranking.
  // What the second reading reads (StageTexts::readings and the step of its repairs' origin).
  enum ReadingText : std::uint16_t { kExtracted = 0, kDecoded = 1, kToTheEnd = 2 };

  void read_again(std::vector<Candidate>& candidates, std::string_view input) {
    texts_.readings.resize(3);
    std::vector<Candidate> read = read_text(kExtracted, std::string(extraction_.text),
                                            extraction_.repairs);
    if (auto escaped = options_.allow_escaped_json ? escaped_document(input) : std::nullopt) {
      std::vector<RepairAction> base = extraction_.repairs;
      RepairAction decode = RepairAction::make(Op::DecodeEscapedJson, Origin{Stage::Extraction},
                                               op_cost(Op::DecodeEscapedJson, Stage::Extraction).fixed());
      decode.set_span(in_input(escaped->span));
      base.push_back(std::move(decode));
      append(read, read_text(kDecoded, std::move(escaped->text), std::move(base)));
    }
    // Quotes the bracket scan misread can balance its brackets early and cut the rest of the
    // document off as "suffix": the text is then also read from the JSON's start to the end.
    if (const RepairAction* suffix = stripped_suffix()) {
      std::vector<RepairAction> base;
      for (const RepairAction& a : extraction_.repairs) {
        if (&a != suffix) base.push_back(a);
      }
      const std::size_t start = extraction_.span.start - (frame_ ? frame_->base : 0);
      append(read, read_text(kToTheEnd, std::string(input.substr(start)), std::move(base)));
    }
    if (read.empty()) return;
    score_against_schema(read);
    append(candidates, std::move(read));
    candidates = rank_keeping_content(std::move(candidates));
  }

  std::vector<Candidate> read_text(ReadingText which, std::string text,
                                   std::vector<RepairAction> base) {
    texts_.readings[which] = std::move(text);
    return reading_repair(texts_.readings[which], options_, std::move(base), &texts_, which,
                          &over_limit_);
  }

  static void append(std::vector<Candidate>& to, std::vector<Candidate> more) {
    to.insert(to.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
  }

  // The extraction's strip_suffix_text of a bracket scan, if it cut text off after the JSON.
  const RepairAction* stripped_suffix() const {
    if (extraction_.method != "brace_scan") return nullptr;
    for (const RepairAction& a : extraction_.repairs) {
      if (a.op() == Op::StripSuffixText) return &a;
    }
    return nullptr;
  }

  // The ranking once the text has been read again: between readings that fit the schema
  // equally, the one that keeps more of the text comes first, then the usual order.
  static std::vector<Candidate> rank_keeping_content(std::vector<Candidate> candidates) {
    candidates = rank_candidates(std::move(candidates));
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
      const double sa = a.validations.schema_match.value_or(0.0);
      const double sb = b.validations.schema_match.value_or(0.0);
      if (sa != sb) return sa > sb;
      return candidate_loss(a) < candidate_loss(b);
    });
    for (std::size_t i = 0; i < candidates.size(); ++i) candidates[i].candidate_id = i;
    return candidates;
  }

  // What a candidate gave up of the text, in the measure of the search's reading mode; text cut
  // off after the JSON counts too, so that a reading to the end of the text can win over one of
  // an extraction that stopped early.
  static std::uint64_t candidate_loss(const Candidate& c) {
    std::uint64_t lost = c.diagnostics.garbage_skipped_bytes + 8 * c.diagnostics.deleted_tokens;
    for (const Span& s : c.dropped_spans) lost += s.end > s.start ? s.end - s.start : 0;
    for (const RepairAction& a : c.repairs) {
      if (a.op() == Op::SynthesizeMissingValue) lost += 8;
      if (a.op() == Op::StripSuffixText && a.span()) lost += a.span()->end - a.span()->start;
    }
    return lost;
  }

  struct EscapedDocument {
    std::string text;  // the document with one level of escaping taken off
    Span span;         // where it stood in the input
  };

  // A JSON document written as the inside of a string literal (its quotes escaped), with or
  // without the string's own quotes around it: `{\"a\": 1}` or `"{\"a\": 1}"`.
  static std::optional<EscapedDocument> escaped_document(std::string_view text) {
    std::size_t open = 0;
    for (;;) {
      open = text.find("\\\"", open);
      if (open == std::string_view::npos) return std::nullopt;
      // The escaped quote must begin a key or an element: "{" or "[" and white space before it.
      std::size_t k = open;
      for (;;) {  // back over white space, written plainly or escaped
        if (k > 0 && scan::is_json_space(static_cast<unsigned char>(text[k - 1]))) {
          --k;
        } else if (k > 1 && text[k - 2] == '\\' &&
                   (text[k - 1] == 'n' || text[k - 1] == 'r' || text[k - 1] == 't')) {
          k -= 2;
        } else {
          break;
        }
      }
      if (k > 0 && (text[k - 1] == '{' || text[k - 1] == '[')) {
        open = k - 1;
        // An array of objects begins before its first object: "[{\"a\"...".
        for (std::size_t b = open; b > 0;) {
          const char c = text[b - 1];
          if (c == '[') {
            open = --b;
          } else if (scan::is_json_space(static_cast<unsigned char>(c))) {
            --b;
          } else if (b > 1 && text[b - 2] == '\\' && (c == 'n' || c == 'r' || c == 't')) {
            b -= 2;
          } else {
            break;
          }
        }
        break;
      }
      open += 2;
    }
    if (open > 0 && text[open - 1] == '"') {
      auto [token, end] = read_string(text, open - 1, '"');
      return EscapedDocument{std::move(token.text), Span{open - 1, end}};
    }
    return EscapedDocument{decode_string_body(text, open, text.size()), Span{open, text.size()}};
  }

  // The language-model step: may add candidates (merged and ranked again) and fills the
  // language-model metrics. Off unless the record enables it; never fails.
  void llm_step(const std::string& repaired_text, std::vector<Candidate>& candidates) {
    if (!options_.allow_llm) return;
    LlmRerunResult llm = maybe_llm_rerun(repaired_text, combined_, candidates,
                                         last_error_.position, options_, &texts_);
    texts_.reruns = std::move(llm.texts);
    llm_calls_ = llm.calls;
    llm_time_ms_ = llm.time_ms;
    llm_trigger_ = std::move(llm.trigger);
    if (llm.candidates.empty()) return;
    score_against_schema(llm.candidates);
    candidates.insert(candidates.end(), std::make_move_iterator(llm.candidates.begin()),
                      std::make_move_iterator(llm.candidates.end()));
    candidates = rank_candidates(std::move(candidates));
  }

  InputStats input_stats(std::uint64_t decoded_size) const {
    if (frame_) decoded_size = frame_->text_bytes;
    InputStats stats;
    stats.input_bytes = frame_ ? frame_->input_bytes : bytes_.size();
    stats.extracted_span = extraction_.span;
    stats.prefix_skipped_bytes = extraction_.span.start;
    stats.suffix_skipped_bytes =
        decoded_size > extraction_.span.end ? decoded_size - extraction_.span.end : 0;
    return stats;
  }

  void score_against_schema(std::vector<Candidate>& candidates) const {
    if (!options_.schema) return;
    for (Candidate& c : candidates) {
      if (c.value) c.validations.schema_match = schema_match_score(*c.value, options_.schema);
    }
  }

  // The single candidate of the strict and fast outcomes, still without its value.
  Candidate single_candidate(std::vector<RepairAction> repairs) const {
    Candidate c;
    c.cost = total_cost(repairs);
    c.confidence = c.cost > 0 ? confidence_for_cost(options_.confidence_alpha, c.cost) : 1.0;
    c.validations.strict_json_parse = true;
    c.diagnostics.beam_width = 0;
    c.diagnostics.max_repairs = 0;
    c.repairs = std::move(repairs);
    return c;
  }

  Candidate single_candidate(JsonValue value, std::vector<RepairAction> repairs,
                             std::size_t text_size) const {
    Candidate c = single_candidate(std::move(repairs));
    c.validations.schema_match = schema_match_score(value, options_.schema);
    c.normalized_json = to_compact_string(value, text_size);
    c.value = std::move(value);
    return c;
  }

  // The common case, one valid document with at most white space around it, read without
  // extraction's bracket scan (see bracketed_document_extraction). When it is not valid, the
  // error is kept for the extraction that takes the same text.
  std::optional<RepairResult> valid_bracketed_document(std::string_view text) {
    std::optional<Extraction> extraction = bracketed_document_extraction(text);
    if (!extraction) return std::nullopt;
    const Span span = extraction->span;
    const std::string_view document = text.substr(span.start, span.end - span.start);
    extraction_ = placed(std::move(*extraction));
    stats_ = input_stats(text.size());
    if (auto read = strict_read(document, true)) return read;
    bracketed_error_ = std::pair{extraction_.span, last_error_};
    return std::nullopt;
  }

  // The strict route on `text`, the text extracted: its outcome when `text` is valid, the value
  // read by the caller's reader where there is one and `readable` (the text is its span of the
  // input); nullopt otherwise, with the error in last_error_.
  std::optional<RepairResult> strict_read(std::string_view text, bool readable) {
    const bool offered = readable && reads_by_caller();
    if (offered && whole_->parse(text)) return caller_read_outcome();
    // A text the reader refused is mostly invalid: its error is found without building a tree.
    std::optional<JsonError> error = offered ? strict_error(text) : std::nullopt;
    if (!error) {
      JsonResult strict = strict_parse(text);
      if (strict) return strict_outcome(std::move(strict).value(), text.size());
      error = strict.error();
    }
    last_error_ = std::move(*error);
    return std::nullopt;
  }

  // Whether the extracted text is the one valid_bracketed_document found invalid; its error is
  // then the strict parse's.
  bool reuses_known_error() {
    if (!bracketed_error_ || extraction_.method != "brace_scan" || !extraction_.repairs.empty() ||
        extraction_.span != bracketed_error_->first) {
      return false;
    }
    last_error_ = bracketed_error_->second;
    return true;
  }

  // Whether a valid document's value goes to the caller's reader: not with a schema to score,
  // which reads the value tree. A text the reader refuses is parsed again here, for the error or
  // for a value the reader could not keep.
  bool reads_by_caller() const { return whole_ != nullptr && !options_.schema; }

  RepairResult strict_result() const {
    const bool clean = extraction_.repairs.empty();
    return base_result(clean ? "strict_ok" : "repaired", "strict");
  }

  // `text_size`: the size of the text read, which the normalized text is about.
  RepairResult strict_outcome(JsonValue value, std::size_t text_size) {
    RepairResult r = strict_result();
    r.candidates.push_back(single_candidate(std::move(value), extraction_.repairs, text_size));
    return finish(std::move(r));
  }

  // The strict outcome of a value the caller's reader holds, read from the extracted span: the
  // span stands in for the normalized text, made from it only if it is asked for.
  RepairResult caller_read_outcome() {
    RepairResult r = strict_result();
    r.candidates.push_back(single_candidate(extraction_.repairs));
    r.candidates.back().value_source = extraction_.span;
    return finish(std::move(r));
  }

  RepairResult fast_outcome(JsonValue value, std::size_t repaired_size) {
    RepairResult r = base_result("repaired", "fast_repair");
    // The run ends here, so the combined list moves into the candidate, and the texts its
    // offsets index into the result. No beam repair reads the repaired text.
    r.candidates.push_back(single_candidate(std::move(value), std::move(combined_), repaired_size));
    texts_.beam = std::string();
    r.texts = std::move(texts_);
    return finish(std::move(r));
  }

  RepairResult beam_outcome(std::vector<Candidate> candidates) {
    const Candidate& best = candidates.front();
    const bool partial = text_was_cut(best) || !best.dropped_spans.empty();
    RepairResult r = base_result(partial ? "partial" : "repaired", "probabilistic");
    if (partial && options_.partial_ok) {
      r.partial = PartialResult{best.value, best.dropped_spans};
    }
    // Keep at least the best candidate: best_index 0 must designate one.
    const std::size_t keep = static_cast<std::size_t>(std::max<std::uint64_t>(options_.top_k, 1));
    if (candidates.size() > keep) candidates.resize(keep);
    r.candidates = std::move(candidates);
    r.texts = std::move(texts_);
    r.metrics.beam_width = options_.beam_width;
    r.metrics.max_repairs = options_.max_repairs;
    return finish(std::move(r));
  }

  // Whether the text ended before the document did. The bracket scan says so when the brackets
  // never balance (or when there are none); a candidate of the reading mode that kept all of the
  // text knows better, since quotes that the scan misread can unbalance them, and tuples have no
  // brackets: it ran out of text when it had to close a string or a container at the end.
  bool text_was_cut(const Candidate& best) const {
    if (!best.reread || candidate_loss(best) > 0) {
      return extraction_.truncated;
    }
    return std::any_of(best.repairs.begin(), best.repairs.end(), [](const RepairAction& a) {
      return a.op() == Op::CloseOpenString || a.op() == Op::InsertMissingCloser;
    });
  }

  RepairResult failure_outcome(const char* kind, const char* mode_used) {
    RepairResult r = base_result("failed", mode_used);
    r.best_index.reset();
    r.errors.push_back(ParseError{kind, last_error_.position, last_error_.message});
    if (std::string_view(kind) == "UnrepairableJSON") {
      r.metrics.beam_width = options_.beam_width;
      r.metrics.max_repairs = options_.max_repairs;
    }
    return finish(std::move(r));
  }

  // The document needs more repairs than max_total_repairs allows: it fails as soon as a stage
  // finds so, with the limit's error record.
  RepairResult limit_outcome(Error error, const char* mode_used) {
    RepairResult r = base_result("failed", mode_used);
    r.best_index.reset();
    r.errors.push_back(ParseError{std::string(kRepairLimitKind), error.position,
                                  std::move(error.message)});
    if (std::string_view(mode_used) == "probabilistic") {
      r.metrics.beam_width = options_.beam_width;
      r.metrics.max_repairs = options_.max_repairs;
    }
    return finish(std::move(r));
  }

  RepairResult base_result(const char* status, const char* mode_used) const {
    RepairResult r;
    r.status = status;
    r.best_index = 0;
    r.input_stats = stats_;
    r.metrics = Metrics::make(mode_used);
    r.metrics.llm_calls = llm_calls_;
    r.metrics.llm_time_ms = llm_time_ms_;
    r.metrics.llm_trigger = llm_trigger_;
    if (options_.debug) {
      r.debug = JsonValue::object({JsonMember{"extraction", extraction_debug_json(extraction_)}});
    }
    return r;
  }

  RepairResult finish(RepairResult r) const {
    r.metrics.elapsed_ms = millis_since(start_);
    return r;
  }

  std::string_view bytes_;
  const RepairOptions& options_;
  Clock::time_point start_;
  Extraction extraction_;
  InputStats stats_;
  std::vector<RepairAction> combined_;
  StageTexts texts_;  // what the heuristic passes, the beam search and the reruns read
  JsonError last_error_;
  std::optional<Error> over_limit_;  // a search gave up its parses at max_total_repairs
  std::uint64_t llm_calls_ = 0;
  u128 llm_time_ms_ = 0;
  std::optional<std::string> llm_trigger_;
  std::optional<Frame> frame_;
  std::optional<std::pair<Span, JsonError>> bracketed_error_;  // see valid_bracketed_document
  WholeDocumentParser* whole_;  // the caller's reader of a valid document's value, or null
};

// The piece `piece` of `text` (the decoded form of `bytes`) through the pipeline; the whole text
// as piece is parse_bytes itself.
RepairResult run_piece(std::string_view bytes, std::string_view text, Span piece,
                       const RepairOptions& options) {
  piece.end = std::min<std::uint64_t>(piece.end, text.size());
  piece.start = std::min(piece.start, piece.end);
  if (piece == Span{0, text.size()}) return parse_bytes(bytes, options);
  const Frame frame{piece.start, bytes.size(), text.size()};
  return PipelineRun(text.substr(piece.start, piece.end - piece.start), options, frame).run();
}

// `bytes` as the pipeline reads them: invalid UTF-8 replaced, valid input not copied.
std::string_view decoded_text(std::string_view bytes, std::string& storage) {
  if (is_valid_utf8(bytes)) return bytes;
  storage = decode_utf8_lossy(bytes);
  return storage;
}

}  // namespace

double total_cost(const std::vector<RepairAction>& repairs) {
  double cost = -0.0;
  for (const RepairAction& a : repairs) cost += a.cost_delta;
  return cost;
}

std::vector<Candidate> rank_candidates(std::vector<Candidate> candidates) {
  if (candidates.size() >= 2) {
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return compare_rank(a, b) < 0; });
  }
  for (std::size_t i = 0; i < candidates.size(); ++i) candidates[i].candidate_id = i;
  return candidates;
}

JsonValue extraction_debug_json(const Extraction& extraction) {
  JsonArray repairs;
  repairs.reserve(extraction.repairs.size());
  // Extraction's repairs index the input and have no notes built from a text.
  for (const RepairAction& a : extraction.repairs) repairs.push_back(a.to_json_value());
  JsonObject members;
  members.push_back(JsonMember{"method", JsonValue::string(extraction.method)});
  members.push_back(JsonMember{"span", span_to_json(extraction.span)});
  members.push_back(JsonMember{"truncated", JsonValue::boolean(extraction.truncated)});
  members.push_back(JsonMember{"repairs", JsonValue::array(std::move(repairs))});
  return JsonValue::object(std::move(members));
}

RepairResult parse_bytes(std::string_view bytes, const RepairOptions& options) {
  return PipelineRun(bytes, options).run();
}

RepairResult parse_bytes(std::string_view bytes, const RepairOptions& options,
                         WholeDocumentParser& whole) {
  return PipelineRun(bytes, options, std::nullopt, &whole).run();
}

RepairResult parse(std::string_view text, const RepairOptions& options) {
  return parse_bytes(text, options);
}

RepairResult parse_piece(std::string_view bytes, Span piece, const RepairOptions& options) {
  std::string storage;
  return run_piece(bytes, decoded_text(bytes, storage), piece, options);
}

std::vector<PieceResult> parse_all(std::string_view bytes, const RepairOptions& options) {
  std::string storage;
  const std::string_view text = decoded_text(bytes, storage);
  std::vector<Span> pieces = split_json_candidates(text);
  // A JSON document whose strings mention brackets or fences ("see [1] and [2]") is one value,
  // as parse reads it.
  if (pieces.size() >= 2 && (root_string_document(text) || fenced_string_document(text))) {
    pieces.clear();
  }
  std::vector<PieceResult> out;
  if (pieces.size() <= 1) {
    out.push_back(PieceResult{Span{0, text.size()}, parse_bytes(bytes, options)});
    return out;
  }
  out.reserve(pieces.size());
  for (const Span& piece : pieces) {
    out.push_back(PieceResult{piece, run_piece(bytes, text, piece, options)});
  }
  return out;
}

}  // namespace velvin
