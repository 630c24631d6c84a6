// RepairOptions: the one configuration record of the core library. Every tunable stage reads it
// by reference (pipeline, heuristic pass, beam search, scale pipeline, language-model fallback);
// the binding and the tools build it from their options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/json.hpp"

namespace velvin {

struct RepairOptions {
  std::string mode = "auto";
  std::uint64_t top_k = 5;
  std::uint64_t beam_width = 32;
  std::uint64_t max_repairs = 20;
  std::uint64_t max_deleted_tokens = 3;
  std::uint64_t max_close_open_string = 1;
  std::uint64_t max_garbage_skip_bytes = 8192;
  double confidence_alpha = 0.7;
  bool partial_ok = true;
  bool allow_single_quotes = true;
  bool allow_unquoted_keys = true;
  bool allow_unquoted_values = true;
  bool allow_comments = true;
  bool allow_python_literals = true;
  std::string allow_parallel = "auto";
  std::uint64_t parallel_threshold_bytes = 1000000000;
  std::uint64_t min_elements_for_parallel = 512;
  double density_threshold = 0.001;
  std::uint64_t parallel_chunk_bytes = 8388608;
  std::uint64_t deterministic_seed = 0;
  bool debug = false;
  std::optional<std::uint64_t> parallel_workers;  // never holds 0
  std::string parallel_backend = "process";
  std::string scale_output = "dom";
  std::optional<std::vector<std::string>> scale_target_keys;
  std::optional<JsonValue> schema;
  // The language-model fallback; no options-dictionary key reaches these.
  bool allow_llm = false;
  std::string llm_mode = "patch_suggest";
  std::optional<std::string> llm_command;
  std::uint64_t llm_max_calls = 2;
  std::uint64_t llm_timeout_ms = 5000;
  double llm_min_confidence = 0.2;

  [[nodiscard]] static RepairOptions defaults() { return RepairOptions{}; }
  [[nodiscard]] RepairOptions clone() const { return *this; }
};

}  // namespace velvin
