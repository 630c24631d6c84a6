#include "core/strict.hpp"

namespace velvin {

namespace {

// Accepts every event: only the verdict of the strict parse is wanted, not the value.
class DiscardSink final : public JsonSink {
 public:
  bool on_null() override { return true; }
  bool on_bool(bool) override { return true; }
  bool on_int(std::int64_t) override { return true; }
  bool on_uint(std::uint64_t) override { return true; }
  bool on_float(double) override { return true; }
  bool on_string(std::string_view) override { return true; }
  bool on_key(std::string_view) override { return true; }
  bool on_array_end(std::size_t) override { return true; }
  bool on_object_end(std::size_t) override { return true; }
};

}  // namespace

JsonResult strict_parse(std::string_view text) { return parse_strict_json(text); }

std::optional<std::string> compact_json_text(std::string_view text) {
  JsonResult parsed = strict_parse(text);
  if (!parsed) return std::nullopt;
  return to_compact_string(parsed.value(), text.size());
}

SinkParseStatus strict_parse_into(std::string_view text, JsonSink& sink, JsonError& error) {
  return parse_strict_events(text, sink, error);
}

}  // namespace velvin

namespace velvin {

std::optional<JsonError> strict_error(std::string_view text) {
  DiscardSink sink;
  JsonError error;
  if (parse_strict_events(text, sink, error) == SinkParseStatus::invalid) return error;
  return std::nullopt;
}

std::optional<std::uint64_t> strict_error_position(std::string_view text) {
  if (std::optional<JsonError> error = strict_error(text)) return error->position;
  return std::nullopt;
}

}  // namespace velvin
