// The strict parser never fails on any bytes; on valid UTF-8 the tape parser accepts exactly
// what it accepts (except integers beyond the 64-bit ranges, which only the tape rejects) and
// both fail at the same position where their messages agree; every accepted value reads back
// from its compact text.
#include <cmath>
#include <cstdint>
#include <string>

#include "fuzz_common.hpp"
#include "core/json.hpp"
#include "core/strict.hpp"
#include "scale/tape.hpp"

namespace {

using velvin::fuzz::check;

bool has_non_finite(const velvin::JsonValue& v) {
  switch (v.kind()) {
    case velvin::JsonKind::Float:
      return !std::isfinite(v.as_float());
    case velvin::JsonKind::Array:
      for (const auto& item : v.as_array()) {
        if (has_non_finite(item)) return true;
      }
      return false;
    case velvin::JsonKind::Object:
      for (const auto& m : v.as_object()) {
        if (has_non_finite(m.value)) return true;
      }
      return false;
    default:
      return false;
  }
}

// Is there an integer literal (no fraction, no exponent) at `pos`?
bool integer_literal_at(std::string_view text, std::size_t pos) {
  std::size_t i = pos;
  if (i < text.size() && text[i] == '-') ++i;
  const std::size_t digits = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  if (i == digits) return false;
  return i >= text.size() || (text[i] != '.' && text[i] != 'e' && text[i] != 'E');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const velvin::JsonResult strict = velvin::strict_parse(text);  // any bytes: no crash
  if (!velvin::is_valid_utf8(text)) return 0;

  if (strict) {
    if (!has_non_finite(strict.value())) {
      const std::string compact = velvin::to_compact_string(strict.value());
      const velvin::JsonResult again = velvin::parse_strict_json(compact);
      check(again.ok(), "compact text of a parsed value parses");
      check(again.value() == strict.value(), "compact text reads back to the same value");
    }
  }

  const velvin::TapeResult tape = velvin::parse_strict_tape(text, 0);
  if (strict.ok() && tape.ok()) return 0;
  if (!tape.ok() && tape.error().message == "invalid number" &&
      integer_literal_at(text, tape.error().position)) {
    // Only the tape refuses integers beyond the 64-bit ranges; the strict parser reads them
    // as doubles. It may go on to fail later in the text.
    check(!strict.ok() ? strict.error().position >= tape.error().position : true,
          "strict parser fails no earlier than an out-of-range integer");
    return 0;
  }
  check(!strict.ok() && !tape.ok(), "tape and strict parser accept the same documents");
  if (strict.error().message == tape.error().message) {
    check(strict.error().position == tape.error().position,
          "tape and strict parser fail at the same position");
  }
  return 0;
}
