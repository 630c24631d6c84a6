#include "core/options.hpp"

#include <algorithm>
#include <thread>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sched.h>
#endif

namespace velvin {
namespace {

using O = RepairOptions;

// The options dictionary's keys in their reading order (options added later are read later),
// then the six language-model fields.
const OptionEntry kRegistry[] = {
    {"mode", &O::mode, "auto | strict_only | fast_repair | probabilistic | scale_pipeline"},
    {"top_k", &O::top_k, "candidates to keep"},
    {"beam_width", &O::beam_width, "states kept per beam-search step"},
    {"max_repairs", &O::max_repairs, "repairs per candidate"},
    {"max_deleted_tokens", &O::max_deleted_tokens, "tokens a candidate may delete"},
    {"max_close_open_string", &O::max_close_open_string,
     "unterminated strings a candidate may close"},
    {"max_garbage_skip_bytes", &O::max_garbage_skip_bytes,
     "bytes a candidate may skip as garbage"},
    {"confidence_alpha", &O::confidence_alpha, "confidence = exp(-alpha * cost)"},
    {"partial_ok", &O::partial_ok, "offer the best incomplete value as \"partial\""},
    {"allow_single_quotes", &O::allow_single_quotes, "repair single-quoted strings"},
    {"allow_unquoted_keys", &O::allow_unquoted_keys, "repair unquoted keys"},
    {"allow_unquoted_values", &O::allow_unquoted_values, "repair unquoted values"},
    {"allow_comments", &O::allow_comments, "remove comments"},
    {"allow_python_literals", &O::allow_python_literals, "map True, False and None to JSON"},
    {"allow_parallel", &O::allow_parallel,
     "auto | true | false: split large documents across threads"},
    {"parallel_threshold_bytes", &O::parallel_threshold_bytes,
     "input size for the automatic scale route"},
    {"min_elements_for_parallel", &O::min_elements_for_parallel,
     "elements needed before splitting"},
    {"density_threshold", &O::density_threshold,
     "structural bytes per byte needed before splitting"},
    {"parallel_chunk_bytes", &O::parallel_chunk_bytes, "bytes per parallel task"},
    {"deterministic_seed", &O::deterministic_seed, "seed of the beam search's tie-break hash"},
    {"debug", &O::debug, "add the debug block to the result document"},
    {"parallel_workers", &O::parallel_workers,
     "threads of the scale pipeline (0 or unset: all available)"},
    {"parallel_backend", &O::parallel_backend, "stored only"},
    {"scale_output", &O::scale_output, "dom | tape: what the scale pipeline returns"},
    {"scale_target_keys", &O::scale_target_keys,
     "keys of a root object whose value is the large part"},
    {"schema", &O::schema,
     "{\"required_keys\": [...], \"types\": {...}}; fitting candidates rank first"},
    {"allow_inner_quotes", &O::allow_inner_quotes, "read a double quote inside a string as content"},
    {"allow_missing_quotes", &O::allow_missing_quotes,
     "repair a string that lost its opening or closing quote"},
    {"allow_loose_numbers", &O::allow_loose_numbers, "read .5, 5., +3, 1_000 as numbers"},
    {"allow_wrappers", &O::allow_wrappers, "unwrap ObjectId(...), ISODate(...), NumberLong(...)"},
    {"allow_placeholders", &O::allow_placeholders, "drop ... placeholders for omitted elements"},
    {"allow_escaped_json", &O::allow_escaped_json, "decode JSON written with escaped quotes"},
    {"max_total_repairs", &O::max_total_repairs,
     "repairs one document may need, all stages together; past it the document fails"},
    {"allow_llm", &O::allow_llm, "let the language-model fallback run", false},
    {"llm_mode", &O::llm_mode, "what the language model is asked for", false},
    {"llm_command", &O::llm_command,
     "program asked for patches when the repair is weak, run without a shell", false},
    {"llm_max_calls", &O::llm_max_calls, "command runs per document", false},
    {"llm_timeout_ms", &O::llm_timeout_ms, "time limit of one run in milliseconds, 0 for none",
     false},
    {"llm_min_confidence", &O::llm_min_confidence,
     "best confidence below which the fallback runs", false},
};

template <typename Member, typename... Fields>
constexpr bool is_field_type(const std::variant<Fields...>*) noexcept {
  return (std::is_same_v<Member O::*, Fields> || ...);
}

// The field of `entry` when it is a `Member`, else nullptr.
template <typename Member>
Member O::*field_of(const OptionEntry& entry) noexcept {
  if constexpr (is_field_type<Member>(static_cast<const OptionField*>(nullptr))) {
    auto* field = std::get_if<Member O::*>(&entry.field);
    return field != nullptr ? *field : nullptr;
  } else {
    return nullptr;
  }
}

// Stores `value` into a field of type `Plain` or std::optional<Plain>.
template <typename Plain>
bool store(RepairOptions& options, const OptionEntry& entry, Plain&& value) {
  using T = std::remove_cvref_t<Plain>;
  if (auto field = field_of<T>(entry)) {
    options.*field = std::forward<Plain>(value);
    return true;
  }
  if (auto field = field_of<std::optional<T>>(entry)) {
    options.*field = std::forward<Plain>(value);
    return true;
  }
  return false;
}

std::optional<double> parse_real(std::string_view text) {
  // The strict parser wants valid UTF-8, and no number has a byte above 0x7F.
  if (std::any_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; })) {
    return std::nullopt;
  }
  auto parsed = parse_strict_json(text);
  if (!parsed) return std::nullopt;
  const JsonValue& v = parsed.value();
  if (v.is_float()) return v.as_float();
  if (v.is_int()) return static_cast<double>(v.as_int());
  if (v.is_uint()) return static_cast<double>(v.as_uint());
  return std::nullopt;
}

std::optional<bool> parse_boolean(std::string_view text) {
  const std::string t = ascii_lower(text);
  if (t == "true" || t == "1" || t == "yes" || t == "on") return true;
  if (t == "false" || t == "0" || t == "no" || t == "off") return false;
  return std::nullopt;
}

OptionTextError expected(std::string_view what, std::string_view text) {
  return OptionTextError{"expects " + std::string(what) + ", got '" + std::string(text) + "'"};
}

void append_comma_separated(std::vector<std::string>& list, std::string_view text) {
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    if (comma > start) list.emplace_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

std::optional<OptionTextError> store_json_text(RepairOptions& options, const OptionEntry& entry,
                                               std::string_view text) {
  auto parsed = parse_strict_json(decode_utf8_lossy(text));
  if (!parsed) {
    return OptionTextError{"not JSON: " + parsed.error().message + " at byte " +
                           std::to_string(parsed.error().position)};
  }
  (void)set_json(options, entry, std::move(parsed).value());
  return std::nullopt;
}

template <typename T>
JsonValue to_json(const T& v) {
  if constexpr (std::is_same_v<T, std::string>) {
    return JsonValue::string(v);
  } else if constexpr (std::is_same_v<T, bool>) {
    return JsonValue::boolean(v);
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    return JsonValue::uinteger(v);
  } else if constexpr (std::is_same_v<T, double>) {
    return JsonValue::number(v);
  } else if constexpr (std::is_same_v<T, JsonValue>) {
    return v;
  } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
    JsonArray items;
    for (const std::string& s : v) items.push_back(JsonValue::string(s));
    return JsonValue::array(std::move(items));
  } else {
    static_assert(std::is_same_v<T, std::optional<typename T::value_type>>);
    return v ? to_json(*v) : JsonValue::null();
  }
}

std::size_t available_parallelism() noexcept {
#if defined(__linux__)
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
#endif
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 2;
}

std::string parallel_word(std::string_view text) { return ascii_lower(trim_unicode_space(text)); }

}  // namespace

std::span<const OptionEntry> option_registry() noexcept { return kRegistry; }

const OptionEntry* find_option(std::string_view name) noexcept {
  for (const OptionEntry& entry : kRegistry) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

std::string_view option_type_word(OptionType type) noexcept {
  switch (type) {
    case OptionType::text: return "text";
    case OptionType::optional_text: return "optional_text";
    case OptionType::count: return "uint";
    case OptionType::optional_count: return "optional_uint";
    case OptionType::real: return "float";
    case OptionType::boolean: return "bool";
    case OptionType::text_list: return "text_list";
    case OptionType::json: return "json";
  }
  return "unknown";
}

bool set_text(RepairOptions& options, const OptionEntry& entry, std::string value) {
  return store(options, entry, std::move(value));
}

bool set_count(RepairOptions& options, const OptionEntry& entry, std::uint64_t value) {
  if (auto field = field_of<std::optional<std::uint64_t>>(entry)) {
    options.*field = value == 0 ? std::nullopt : std::optional<std::uint64_t>(value);
    return true;
  }
  return store(options, entry, value);
}

bool set_real(RepairOptions& options, const OptionEntry& entry, double value) {
  return store(options, entry, value);
}

bool set_boolean(RepairOptions& options, const OptionEntry& entry, bool value) {
  return store(options, entry, value);
}

bool set_text_list(RepairOptions& options, const OptionEntry& entry,
                   std::vector<std::string> value) {
  return store(options, entry, std::move(value));
}

bool set_json(RepairOptions& options, const OptionEntry& entry, JsonValue value) {
  return store(options, entry, std::move(value));
}

JsonValue option_value(const RepairOptions& options, const OptionEntry& entry) {
  return std::visit([&](auto field) { return to_json(options.*field); }, entry.field);
}

std::optional<OptionTextError> store_option_text(RepairOptions& options, const OptionEntry& entry,
                                                 std::string_view text) {
  switch (entry.type()) {
    case OptionType::text:
    case OptionType::optional_text:
      (void)set_text(options, entry, std::string(text));
      return std::nullopt;
    case OptionType::count:
    case OptionType::optional_count: {
      auto n = parse_count_text(text);
      if (!n) return expected("a non-negative integer", text);
      (void)set_count(options, entry, *n);
      return std::nullopt;
    }
    case OptionType::real: {
      auto x = parse_real(text);
      if (!x) return expected("a number", text);
      (void)set_real(options, entry, *x);
      return std::nullopt;
    }
    case OptionType::boolean: {
      auto b = parse_boolean(text);
      if (!b) return expected("true or false", text);
      (void)set_boolean(options, entry, *b);
      return std::nullopt;
    }
    case OptionType::text_list: {
      auto& list = options.*field_of<std::optional<std::vector<std::string>>>(entry);
      if (!list) list.emplace();
      append_comma_separated(*list, text);
      return std::nullopt;
    }
    case OptionType::json:
      return store_json_text(options, entry, text);
  }
  return expected("a value", text);
}

std::optional<std::uint64_t> parse_count_text(std::string_view text) noexcept {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

ParallelSetting allow_parallel_bool(std::string_view text) {
  const std::string word = parallel_word(text);
  if (word == "auto") return ParallelSetting::automatic;
  if (word == "1" || word == "true" || word == "yes") return ParallelSetting::on;
  return ParallelSetting::off;
}

bool declines_automatic_scale_route(std::string_view text) {
  const std::string word = parallel_word(text);
  return word == "0" || word == "no" || word == "false";
}

std::size_t parallel_workers(const std::optional<std::uint64_t>& option) {
  if (option && *option > 0) return static_cast<std::size_t>(*option);
  return available_parallelism();
}

}  // namespace velvin
