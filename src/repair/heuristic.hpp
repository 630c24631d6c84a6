// Heuristic repair: the cheap, deterministic rewrite between extraction and the beam search.
// A fixed sequence of text-to-text passes (typographic quotes, comments, bare keys, single
// quotes, bare values, Python literals, missing and trailing commas, an open string, open
// containers), each recording its changes as repair actions. Never fails and never parses.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/records.hpp"

namespace velvin {

struct HeuristicResult {
  std::string text;
  std::vector<RepairAction> repairs;  // in the order the changes were made
};

[[nodiscard]] HeuristicResult heuristic_repair(std::string_view text,
                                               const RepairOptions& options);

// The text each changing pass started from, with the actions it made: the positions of those
// actions are offsets into `input`. For showing people where each repair happened.
struct HeuristicPassTrace {
  std::string input;
  std::size_t first_action = 0;
  std::size_t action_count = 0;
};

// heuristic_repair, also returning one trace entry per pass that changed the text.
[[nodiscard]] HeuristicResult heuristic_repair_traced(std::string_view text,
                                                      const RepairOptions& options,
                                                      std::vector<HeuristicPassTrace>& trace);

namespace detail {
// The same repair with every enabled pass run in full, without the survey that skips passes
// with nothing to do. Its result must equal heuristic_repair's; tests compare the two.
[[nodiscard]] HeuristicResult heuristic_repair_every_pass(std::string_view text,
                                                          const RepairOptions& options);
}  // namespace detail

}  // namespace velvin
