#include "strict.hpp"

namespace velvin {

JsonResult strict_parse(std::string_view text) { return parse_strict_json(text); }

SinkParseStatus strict_parse_into(std::string_view text, JsonSink& sink, JsonError& error) {
  return parse_strict_events(text, sink, error);
}

}  // namespace velvin
