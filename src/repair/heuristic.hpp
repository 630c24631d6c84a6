// Heuristic repair: the cheap, deterministic rewrite between extraction and the beam search.
// A fixed sequence of text-to-text passes (typographic quotes, comments, bare keys, single
// quotes, bare values, Python literals, missing and trailing commas, an open string, open
// containers), each recording its changes as repair actions. Never fails and never parses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/records.hpp"

namespace velvin {

// What the heuristic pass hands on: made by heuristic_repair, read by the pipeline (second strict
// parse, beam search, the result's texts) and by preprocess_py. An action of origin
// {Heuristic, k} indexes pass_texts[k].
struct HeuristicResult {
  std::string text;                     // the repaired text
  std::vector<std::string> pass_texts;  // [k]: what the k-th pass that changed the text started from
  std::vector<RepairAction> repairs;    // in the order the changes were made
  // Set when the text needs more repairs than max_total_repairs leaves after `prior_repairs`:
  // the passes stopped at the first repair past it (the text and repairs are then cut short).
  std::optional<Error> over_limit;
};

// `prior_repairs`: repairs the document already carries (the extraction's), which count
// against max_total_repairs.
[[nodiscard]] HeuristicResult heuristic_repair(std::string_view text,
                                               const RepairOptions& options,
                                               std::uint64_t prior_repairs = 0);

namespace detail {
// The same repair with every enabled pass run in full, without the survey that skips passes
// with nothing to do. Its result must equal heuristic_repair's; tests compare the two.
[[nodiscard]] HeuristicResult heuristic_repair_every_pass(std::string_view text,
                                                          const RepairOptions& options,
                                                          std::uint64_t prior_repairs = 0);
}  // namespace detail

}  // namespace velvin
