// Candidate extraction, the first stage of every repair run: finds the one span of a model's
// output that most likely holds the JSON document (a Markdown code fence, or a bracket scan
// through prose), copies it out, and records what it stripped as repair actions. Called by the
// pipeline and by preprocess_py; never fails. Also splits a text that holds several values into
// their spans, for parse_all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/records.hpp"

namespace velvin {

// What extraction hands on: made by extract_json_candidate, read by the pipeline (strict parse,
// heuristic pass, beam search, input statistics) and by preprocess_py. `span` and the spans of
// `repairs` (origin Extraction) are byte offsets into the text extraction was given, which is
// the decoded input (invalid UTF-8 already replaced by U+FFFD), not the raw bytes.
struct Extraction {
  std::string text;  // the candidate, bytes span.start..span.end of the input (a fence's content
                     // trimmed of white space)
  std::string method;  // "code_fence", "brace_scan" or "no_json_found"
  std::vector<RepairAction> repairs;
  Span span;
  bool truncated = false;
};

[[nodiscard]] Extraction extract_json_candidate(std::string_view text);

// The extraction of a text that is one valid JSON document opening with a bracket, found
// without the bracket scan: when `text`, trimmed of JSON white space, opens with "{" or "[",
// closes with "}" or "]" and holds no code fence that extraction takes (one around an object or
// an array, even inside a string), and the caller then finds the trimmed text valid,
// extract_json_candidate would take exactly it (method "brace_scan", no repairs). Nullopt
// otherwise. Its `text` is left empty: the caller reads the span of its own text.
[[nodiscard]] std::optional<Extraction> bracketed_document_extraction(std::string_view text);

// The record of a text taken whole, as when it holds no bracket: method "no_json_found", the
// whole span, no repairs.
[[nodiscard]] Extraction whole_text_extraction(std::string_view text);

// The error of an extraction whose repairs alone are more than max_total_repairs (`limit`).
[[nodiscard]] std::optional<Error> extraction_over_limit(const Extraction& extraction,
                                                         std::uint64_t limit);

// The spans of every JSON value in `text`, in order, with the scanning of extraction: each
// fenced block that extraction would take (backticks included), and outside those, each run
// from a "{" or "[" to the bracket that closes it, strings respected. Brackets nest (a closer
// that skips an open bracket closes it too); a run still open when the text ends runs to the
// end. A fence of another language is prose, so the brackets inside it are read. Empty when the
// text holds no bracket.
[[nodiscard]] std::vector<Span> split_json_candidates(std::string_view text);

}  // namespace velvin
