// The language-model fallback: when the beam search found nothing or nothing confident, runs an
// external command with a repair request on its standard input, applies the patch operations of
// its reply, and reruns the beam search on each patched text. Called by the pipeline's
// language-model step; never fails (failed runs only count in calls and time).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json.hpp"
#include "types.hpp"

namespace velvin {

struct LlmRerunResult {
  std::vector<Candidate> candidates;  // in the order produced
  std::uint64_t calls = 0;
  u128 time_ms = 0;
  std::optional<std::string> trigger;  // "no_candidates" or "low_confidence"
};

[[nodiscard]] LlmRerunResult maybe_llm_rerun(std::string_view text,
                                             const std::vector<RepairAction>& repairs,
                                             const std::vector<Candidate>& candidates,
                                             std::optional<std::uint64_t> error_position,
                                             const RepairOptions& options);

// Runs the command once (no shell): the payload goes to its standard input, its standard output
// comes back decoded leniently as UTF-8, or an error text.
[[nodiscard]] Result<std::string, std::string> run_llm_command(std::string_view command_line,
                                                               std::string_view payload,
                                                               std::uint64_t timeout_ms);

}  // namespace velvin
