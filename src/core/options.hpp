// RepairOptions: the one configuration record of the core library, and the registry of its
// options. Every tunable stage reads the record by reference (pipeline, heuristic pass, beam
// search, scale pipeline, language-model fallback). The binding's options reader, both
// command-line tools and the Python package walk the registry for each option's name, type,
// default and description, so an option is added here and nowhere else. The readings of
// "allow_parallel" and "parallel_workers" that several stages share live here too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
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
  // Readings of broken text that no switch above covers (the text is read again only when the
  // token-level repair lost part of it).
  bool allow_inner_quotes = true;    // a double quote inside a string is content
  bool allow_missing_quotes = true;  // a string that lost its opening or closing quote
  bool allow_loose_numbers = true;   // .5, 5., +3, 1_000 read as the numbers they mean
  bool allow_wrappers = true;        // ObjectId("…"), ISODate("…"), NumberLong(…) unwrapped
  bool allow_placeholders = true;    // "..." left where elements were omitted is dropped
  bool allow_escaped_json = true;    // {\"a\": 1}: JSON written with escaped quotes, decoded
  // The most repairs one document may need, all stages together; past it the document fails at
  // once, so that no input makes a stage build millions of repair records.
  std::uint64_t max_total_repairs = 100000;
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

// ---- The registry ----

// The field an option stores into. The alternatives are in the order of OptionType, so the
// type of an option is the index of its field and the two cannot disagree.
using OptionField = std::variant<std::string RepairOptions::*,
                                 std::optional<std::string> RepairOptions::*,
                                 std::uint64_t RepairOptions::*,
                                 std::optional<std::uint64_t> RepairOptions::*,
                                 double RepairOptions::*,
                                 bool RepairOptions::*,
                                 std::optional<std::vector<std::string>> RepairOptions::*,
                                 std::optional<JsonValue> RepairOptions::*>;

enum class OptionType : std::uint8_t {
  text,
  optional_text,   // any text sets it
  count,           // unsigned 64-bit
  optional_count,  // 0 stores unset
  real,            // 64-bit float
  boolean,
  text_list,
  json,            // any JSON value
};

struct OptionEntry {
  std::string_view name;  // the options-dictionary key; command-line flags spell it with '-'
  OptionField field;
  std::string_view description;  // one line, for --help and the Python package
  // Read from the options dictionary. The language-model fields are not, so that no Python
  // caller can switch the fallback on.
  bool from_python = true;

  [[nodiscard]] OptionType type() const noexcept { return static_cast<OptionType>(field.index()); }
};

// Every option, in the order the options dictionary is read (the first key that fails to
// convert is the one reported), then the language-model fields.
[[nodiscard]] std::span<const OptionEntry> option_registry() noexcept;
[[nodiscard]] const OptionEntry* find_option(std::string_view name) noexcept;

// "text", "optional_text", "uint", "optional_uint", "float", "bool", "text_list", "json".
[[nodiscard]] std::string_view option_type_word(OptionType type) noexcept;

// Typed setters. Each stores `value` when the option has a type that holds it (set_text:
// text and optional text; set_count: count and optional count, where 0 stores unset) and
// returns false, changing nothing, when it has not.
[[nodiscard]] bool set_text(RepairOptions& options, const OptionEntry& entry, std::string value);
[[nodiscard]] bool set_count(RepairOptions& options, const OptionEntry& entry, std::uint64_t value);
[[nodiscard]] bool set_real(RepairOptions& options, const OptionEntry& entry, double value);
[[nodiscard]] bool set_boolean(RepairOptions& options, const OptionEntry& entry, bool value);
[[nodiscard]] bool set_text_list(RepairOptions& options, const OptionEntry& entry,
                                 std::vector<std::string> value);
[[nodiscard]] bool set_json(RepairOptions& options, const OptionEntry& entry, JsonValue value);

// The option's value in `options` as JSON; null when unset. Of a default record: the default.
[[nodiscard]] JsonValue option_value(const RepairOptions& options, const OptionEntry& entry);

// Why a flag's text could not be stored, e.g. "expects a non-negative integer, got '-1'".
struct OptionTextError {
  std::string message;
};

// Stores the text of a command-line flag. Counts are decimal digits; reals are JSON numbers;
// booleans are true/1/yes/on or false/0/no/off in any case; a list of texts is split at
// commas, skips empty pieces and extends the list a previous flag started; a JSON value is
// parsed strictly (invalid UTF-8 replaced first), its error "not JSON: <message> at byte <n>".
// On an error the record is unchanged.
[[nodiscard]] std::optional<OptionTextError> store_option_text(RepairOptions& options,
                                                               const OptionEntry& entry,
                                                               std::string_view text);

// A count as flags write it: decimal digits only, within 64 bits.
[[nodiscard]] std::optional<std::uint64_t> parse_count_text(std::string_view text) noexcept;

// ---- Shared readings ----

enum class ParallelSetting : std::uint8_t { off, on, automatic };

// "allow_parallel" as the scale pipeline reads it to decide on splitting and on the parallel
// comma scan: trimmed of Unicode white space and lower-cased, "auto" is automatic; "1", "true"
// and "yes" are on; anything else (also the empty text and "off") is off.
[[nodiscard]] ParallelSetting allow_parallel_bool(std::string_view text);

// "allow_parallel" as the pipeline reads it to decide whether a large document may take the
// automatic scale route: only "0", "no" and "false" (trimmed and lower-cased the same way)
// close it. Every other text leaves the route open; whether the document is then split is the
// reading above, so with "off" a large document is still parsed by the scale pipeline, whole.
[[nodiscard]] bool declines_automatic_scale_route(std::string_view text);

// The worker count of the scale pipeline: the option when set, else the hardware threads
// available to this process, else 2.
[[nodiscard]] std::size_t parallel_workers(const std::optional<std::uint64_t>& option);

}  // namespace velvin
