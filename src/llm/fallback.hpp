// The language-model fallback: when the beam search found nothing or nothing confident, runs an
// external command with a repair request on its standard input, applies the patch operations of
// its reply, and reruns the beam search on each patched text. Called by the pipeline's
// language-model step; never fails (failed runs only count in calls and time).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "core/records.hpp"

namespace velvin {

// What the language-model step hands on: made by maybe_llm_rerun, read by the pipeline, which
// merges the candidates into its ranking and keeps the texts. A candidate of rerun r begins
// with the repairs handed in, then "llm_patch_suggest" (origin {LanguageModel, r}), then the
// rerun's beam repairs (origin {Beam, r}), whose offsets index texts[r - 1].
struct LlmRerunResult {
  std::vector<Candidate> candidates;  // in the order produced
  std::uint64_t calls = 0;
  u128 time_ms = 0;
  std::optional<std::string> trigger;  // "no_candidates" or "low_confidence"
  std::vector<std::string> texts;      // [r - 1]: the patched text rerun r repaired
};

// `repairs` are the run's repairs so far (extraction and heuristic) and `repair_texts` the texts
// their offsets index.
[[nodiscard]] LlmRerunResult maybe_llm_rerun(std::string_view text,
                                             const std::vector<RepairAction>& repairs,
                                             const std::vector<Candidate>& candidates,
                                             std::optional<std::uint64_t> error_position,
                                             const RepairOptions& options,
                                             const StageTexts* repair_texts = nullptr);

// Most bytes of standard output one run may produce; a command that writes more is killed and
// its run fails ("failed to read llm stdout: ..."), so a runaway program cannot exhaust memory.
inline constexpr std::size_t kMaxLlmOutputBytes = std::size_t{64} << 20;

// Runs the command once (no shell): the payload goes to its standard input, its standard output
// comes back decoded leniently as UTF-8, or an error (code command_timeout when the time ran
// out, command_failed otherwise). The program runs in its own process group; on timeout or on an
// output failure the whole group is killed, and every outcome leaves the child reaped, the
// helper thread joined and every pipe closed. A timeout of 0 means none.
[[nodiscard]] Result<std::string> run_llm_command(std::string_view command_line,
                                                  std::string_view payload,
                                                  std::uint64_t timeout_ms);

// Shell-like word splitting without any expansion: white space (Unicode) separates words
// outside quotes, single quotes keep everything literal, double quotes honour backslash
// escapes, quote characters are dropped and empty words disappear.
[[nodiscard]] std::vector<std::string> split_command_line(std::string_view command_line);

// The JSON value in a command's output: the whole trimmed output if it parses, else the span
// from the first '{' or '[' to the last '}' or ']' (a reply wrapped in prose or a code fence).
[[nodiscard]] std::optional<JsonValue> read_llm_reply(std::string_view output);

}  // namespace velvin
