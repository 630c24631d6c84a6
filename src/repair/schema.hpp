// Scoring of a candidate value against the caller's small schema ({"required_keys": [...],
// "types": {...}}; not JSON Schema). Called by the pipeline for every candidate with a value
// when the option "schema" is set; the score is the first ranking key.
#pragma once

#include <optional>

#include "core/json.hpp"

namespace velvin {

// Absent exactly when no schema is given; otherwise a score in [0, 1]: half for the required
// keys present, half for the typed members that match.
[[nodiscard]] std::optional<double> schema_match_score(const JsonValue& value,
                                                       const std::optional<JsonValue>& schema);

}  // namespace velvin
