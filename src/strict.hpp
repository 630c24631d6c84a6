// The strict entry point: what the binding's strict_loads_py and every stage that needs to know
// "is this valid JSON?" call. Takes UTF-8 text, returns the value or the first positioned error.
#pragma once

#include <string_view>

#include "json.hpp"

namespace velvin {

[[nodiscard]] JsonResult strict_parse(std::string_view text);

// The same parse, delivering events to a sink instead of building a tree (see JsonSink).
[[nodiscard]] SinkParseStatus strict_parse_into(std::string_view text, JsonSink& sink,
                                                JsonError& error);

}  // namespace velvin
