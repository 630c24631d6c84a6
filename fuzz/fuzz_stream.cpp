// The streaming reader on any bytes, cut into chunks at sizes read off the input: no crash; the
// value after the last chunk is the same however the text was cut; and every value keeps what
// the one before it showed (completed members and elements unchanged, the last open one of each
// container of the same kind, a string only grown at its end).
#include <cstdint>
#include <optional>
#include <string>

#include "core/json.hpp"
#include "fuzz_common.hpp"
#include "repair/stream.hpp"

namespace {

using velvin::JsonValue;
using velvin::fuzz::check;

bool is_number(const JsonValue& v) { return v.is_int() || v.is_uint() || v.is_float(); }

// Whether `now` keeps everything `before` showed (the checker of tests/python/test_stream.py).
bool keeps(const JsonValue& before, const JsonValue& now) {
  if (is_number(before)) return is_number(now);
  if (before.kind() != now.kind()) return false;
  if (before.is_string()) return now.as_string().substr(0, before.as_string().size()) == before.as_string();
  if (before.is_array()) {
    const auto& a = before.as_array();
    const auto& b = now.as_array();
    if (b.size() < a.size()) return false;
    for (std::size_t i = 0; i + 1 < a.size(); ++i) {
      if (!(a[i] == b[i])) return false;
    }
    return a.empty() || keeps(a.back(), b[a.size() - 1]);
  }
  if (before.is_object()) {
    const auto& a = before.as_object();
    const auto& b = now.as_object();
    if (b.size() < a.size()) return false;
    for (std::size_t i = 0; i + 1 < a.size(); ++i) {
      if (!(a[i] == b[i])) return false;
    }
    return a.empty() ||
           (a.back().key == b[a.size() - 1].key && keeps(a.back().value, b[a.size() - 1].value));
  }
  return before == now;
}

std::optional<JsonValue> stream_in_chunks(std::string_view text, velvin::fuzz::ByteReader& sizes,
                                          const velvin::RepairOptions& options) {
  velvin::StreamReader reader(options);
  velvin::StreamTree tree;
  std::optional<JsonValue> previous;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t size = std::min<std::size_t>(text.size() - at, 1 + sizes.byte() % 16);
    reader.feed(text.substr(at, size), tree);
    at += size;
    std::optional<JsonValue> value = tree.value(reader.tail());
    if (previous) check(value.has_value() && keeps(*previous, *value), "a value keeps what the last one showed");
    previous = std::move(value);
  }
  return previous;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velvin::fuzz::ByteReader input(data, size);
  const velvin::RepairOptions options = velvin::fuzz::switches_from(input);
  const std::string_view text = input.rest();
  if (text.size() > 4096) return 0;  // chunk sizes repeat the input's bytes; keep runs short

  velvin::StreamReader whole(options);
  velvin::StreamTree whole_tree;
  whole.feed(text, whole_tree);
  const std::optional<JsonValue> expected = whole_tree.value(whole.tail());

  velvin::fuzz::ByteReader sizes(data, size);
  const std::optional<JsonValue> chunked = stream_in_chunks(text, sizes, options);
  check(expected.has_value() == chunked.has_value() && (!expected || *expected == *chunked),
        "the value does not depend on where the chunks were cut");
  return 0;
}
