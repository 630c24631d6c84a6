// Beam search repair: reads the tolerant token stream of a broken candidate text and keeps a
// bounded set of partial parses, each paying for the repairs it needs. Parses that finish with
// every container closed and pass the strict parser become ranked candidates. Called by the
// pipeline, by probabilistic_repair_py and by the language-model rerun.
#pragma once

#include <string_view>
#include <vector>

#include "types.hpp"

namespace velvin {

// Candidates best first, at most max(top_k, 1); every candidate's repairs begin with a copy of
// `base_repairs`, whose costs are included in its cost.
[[nodiscard]] std::vector<Candidate> probabilistic_repair(
    std::string_view text, const RepairOptions& options,
    const std::vector<RepairAction>& base_repairs);

}  // namespace velvin
