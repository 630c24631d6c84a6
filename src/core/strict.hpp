// The strict entry point: what the binding's strict_loads_py, the pipeline's strict parses and
// the beam search's check of its finished texts call to know "is this valid JSON?". Takes UTF-8
// text, returns the value or the first positioned error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.hpp"

namespace velvin {

[[nodiscard]] JsonResult strict_parse(std::string_view text);

// The same parse, delivering events to a sink instead of building a tree (see JsonSink).
[[nodiscard]] SinkParseStatus strict_parse_into(std::string_view text, JsonSink& sink,
                                                JsonError& error);

// The compact text of valid JSON `text` (see to_compact_string), as candidates carry it in
// normalized_json; nullopt when `text` is not valid JSON.
[[nodiscard]] std::optional<std::string> compact_json_text(std::string_view text);

// Why the strict parser rejects `text`, or nullopt when it is valid JSON (no value is built).
[[nodiscard]] std::optional<JsonError> strict_error(std::string_view text);

// Where the strict parser rejects `text`, or nullopt when it is valid JSON (no value is built).
[[nodiscard]] std::optional<std::uint64_t> strict_error_position(std::string_view text);

}  // namespace velvin
