// The parallel comma scan finds the same root-level commas as one serial pass of the automaton,
// for any chunk size and worker count, on any bytes between a root's brackets.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_common.hpp"
#include "scale/comma_scan.hpp"

namespace {

using velvin::fuzz::check;

std::vector<std::uint64_t> serial_commas(std::string_view bytes, std::int64_t target_obj,
                                         std::int64_t target_arr) {
  std::vector<std::uint64_t> commas;
  std::int64_t obj = target_obj, arr = target_arr;
  bool in_string = false, escaped = false;
  for (std::size_t i = 1; i + 1 < bytes.size(); ++i) {
    const char c = bytes[i];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"': in_string = true; break;
      case '[': ++arr; break;
      case ']': --arr; break;
      case '{': ++obj; break;
      case '}': --obj; break;
      case ',':
        if (obj == target_obj && arr == target_arr) commas.push_back(i);
        break;
      default: break;
    }
  }
  return commas;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velvin::fuzz::ByteReader reader(data, size);
  const bool object = reader.byte() & 1;
  const std::uint8_t chunk_byte = reader.byte();
  const std::size_t chunk = chunk_byte == 255 ? SIZE_MAX : 1 + chunk_byte % 64;
  const std::size_t workers = 1 + reader.byte() % 4;
  std::string doc(1, object ? '{' : '[');
  doc += reader.rest();
  doc += object ? '}' : ']';

  const auto found = object ? velvin::find_root_object_commas(doc, 0, doc.size(), workers, chunk)
                            : velvin::find_root_array_commas(doc, 0, doc.size(), workers, chunk);
  check(found.ok(), "a bracketed span always scans");
  check(found.value() == serial_commas(doc, object ? 1 : 0, object ? 0 : 1),
        "the parallel scan finds the serial scan's commas");
  return 0;
}
