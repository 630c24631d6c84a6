// Beam search repair: reads the tolerant token stream of a broken candidate text and keeps a
// bounded set of partial parses, each paying for the repairs it needs. Parses that finish with
// every container closed and pass the strict parser become ranked candidates. Called by the
// pipeline, by probabilistic_repair_py and by the language-model rerun.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/records.hpp"

namespace velvin {

// Where one search stands in a run: the texts its base repairs' offsets index (their notes are
// built from them, and the tie-break hash reads the notes) and, for a language-model rerun, its
// number. The search's own repairs carry origin {Beam, rerun} and index `text`.
struct BeamContext {
  const StageTexts* base_texts = nullptr;  // none: base repairs with notes of their own only
  std::uint16_t rerun = 0;                 // 0: the main search
  // Set, when given, if the search found no candidate because its parses needed more than
  // max_total_repairs repairs, base repairs included (see repair_limit_error).
  std::optional<Error>* over_limit = nullptr;
};

// The candidate list the search hands on: made by probabilistic_repair, read by the pipeline
// (scoring, ranking, the language-model step), the language-model rerun and
// probabilistic_repair_py. Best first, at most max(top_k, 1); every candidate's repairs begin
// with a copy of `base_repairs`, whose costs are included in its cost. A parse that needs more
// than max_total_repairs repairs in all is given up at the repair past the limit.
[[nodiscard]] std::vector<Candidate> probabilistic_repair(
    std::string_view text, const RepairOptions& options,
    const std::vector<RepairAction>& base_repairs, const BeamContext& context = {});

// The same, taking the base repairs over instead of copying them (a long list of heuristic
// repairs then exists once during the search).
[[nodiscard]] std::vector<Candidate> probabilistic_repair(
    std::string_view text, const RepairOptions& options, std::vector<RepairAction>&& base_repairs,
    const BeamContext& context = {});

// The reading mode of the same search: positions are bytes, and at each one the search weighs
// every reading of the text there (repair/readings.hpp) against the lexer's token, so that a
// quote can be content, bare words one string, a malformed number its number. For text whose
// token-level repair lost content.
// `reading` names the text in the repairs' origin {Reading, reading} (StageTexts::readings);
// `over_limit` as in BeamContext.
[[nodiscard]] std::vector<Candidate> reading_repair(std::string_view text,
                                                    const RepairOptions& options,
                                                    std::vector<RepairAction> base_repairs,
                                                    const StageTexts* base_texts,
                                                    std::uint16_t reading,
                                                    std::optional<Error>* over_limit = nullptr);

// What one search did, for tests and benchmarks: tokens read, steps run, states expanded, the
// largest beam before pruning, how many prune-key hashes had to be computed (only ties on cost,
// repair count and position need one), how many parses finished and how many finished texts were
// strictly parsed to make the candidates.
struct BeamStats {
  std::uint64_t tokens = 0;
  std::uint64_t steps = 0;
  std::uint64_t states_expanded = 0;
  std::uint64_t peak_successors = 0;
  std::uint64_t prune_hashes = 0;
  std::uint64_t finished = 0;
  std::uint64_t texts_parsed = 0;
};

// The same searches, also reporting their work in `stats`.
[[nodiscard]] std::vector<Candidate> reading_repair(std::string_view text,
                                                    const RepairOptions& options,
                                                    std::vector<RepairAction> base_repairs,
                                                    BeamStats& stats);  // for tests and benchmarks
[[nodiscard]] std::vector<Candidate> probabilistic_repair(
    std::string_view text, const RepairOptions& options,
    const std::vector<RepairAction>& base_repairs, BeamStats& stats);

}  // namespace velvin
