// The parse pipeline: one call takes a model's raw output and the options, runs the stages in
// order (scale route, lossy decoding, extraction, strict parse, heuristic repair, beam search,
// schema scoring and ranking, language-model step) and assembles the RepairResult. Never fails:
// every outcome is a result with a status word. Called by parse_py and the velvin tool.
#pragma once

#include <string_view>
#include <vector>

#include "repair/extract.hpp"
#include "core/json.hpp"
#include "core/records.hpp"
#include "scale/scale.hpp"

namespace velvin {

// `text` is UTF-8; its bytes go to parse_bytes.
[[nodiscard]] RepairResult parse(std::string_view text, const RepairOptions& options);

// `bytes` are the raw input, possibly invalid UTF-8.
[[nodiscard]] RepairResult parse_bytes(std::string_view bytes, const RepairOptions& options);

// The same run, where `whole` reads the value of a valid document itself (the Python binding
// builds Python objects in the same pass as the parse, instead of a value tree converted after):
// the scale route hands it an unsplit document, the strict route the extracted text when no
// schema is to be scored. When it took the value, the best candidate carries none; on the strict
// route its normalized_json is left out too and `value_source` holds the span of the decoded
// input read, whose compact form (compact_json_text) it is. The result is otherwise
// parse_bytes's.
[[nodiscard]] RepairResult parse_bytes(std::string_view bytes, const RepairOptions& options,
                                       WholeDocumentParser& whole);

// One value of a text that holds several: the piece of the decoded text it was read from, and
// the pipeline's result for that piece alone.
struct PieceResult {
  Span piece;
  RepairResult result;
};

// Every JSON value of `bytes`, in order: the text is split by split_json_candidates and each
// piece goes through the pipeline on its own, its result placed in the whole text (see
// parse_piece). A text with one value or none, or that is one JSON string, gives one piece, the
// whole text, whose result is exactly parse_bytes's. Offsets count in the decoded text.
[[nodiscard]] std::vector<PieceResult> parse_all(std::string_view bytes,
                                                 const RepairOptions& options);

// The pipeline on bytes piece.start..piece.end of the decoded input (clamped to it), as
// parse_all runs it: the extracted span and the extraction's repairs index the whole text, and
// the input statistics count in it (input_bytes is the whole raw input). The whole text as
// piece gives exactly parse_bytes.
[[nodiscard]] RepairResult parse_piece(std::string_view bytes, Span piece,
                                       const RepairOptions& options);

// {"method", "span", "truncated", "repairs"}: the extraction as the debug block shows it.
[[nodiscard]] JsonValue extraction_debug_json(const Extraction& extraction);

// Sorts stably by the ranking order (schema score, confidence, cost, deleted tokens, closed
// strings, dropped bytes, longer text, fewer repairs, previous id) and renumbers the ids.
[[nodiscard]] std::vector<Candidate> rank_candidates(std::vector<Candidate> candidates);

// Sum of the cost deltas in list order starting from -0.0, so no repairs cost -0.0.
[[nodiscard]] double total_cost(const std::vector<RepairAction>& repairs);

}  // namespace velvin
