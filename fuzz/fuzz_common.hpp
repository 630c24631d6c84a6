// Helpers shared by the fuzz targets: reading option bytes off the front of the input and
// failing loudly (abort, so libFuzzer records the input) when a property does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/options.hpp"

namespace velvin::fuzz {

[[noreturn]] inline void violated(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

inline void check(bool ok, const char* what) {
  if (!ok) violated(what);
}

// Takes bytes off the front of the input as small option values.
class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  std::string_view rest() const {
    return {reinterpret_cast<const char*>(data_), size_};
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// The repair switches from two option bytes: the first five from the first byte, the readings of
// broken text from the second.
inline RepairOptions switches_from(ByteReader& in) {
  RepairOptions o;
  const std::uint8_t classic = in.byte();
  o.allow_single_quotes = classic & 1;
  o.allow_unquoted_keys = classic & 2;
  o.allow_unquoted_values = classic & 4;
  o.allow_comments = classic & 8;
  o.allow_python_literals = classic & 16;
  const std::uint8_t readings = in.byte();
  o.allow_inner_quotes = readings & 1;
  o.allow_missing_quotes = readings & 2;
  o.allow_loose_numbers = readings & 4;
  o.allow_wrappers = readings & 8;
  o.allow_placeholders = readings & 16;
  o.allow_escaped_json = readings & 32;
  return o;
}

}  // namespace velvin::fuzz
