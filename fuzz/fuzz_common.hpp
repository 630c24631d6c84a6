// Helpers shared by the fuzz targets: reading option bytes off the front of the input and
// failing loudly (abort, so libFuzzer records the input) when a property does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

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

}  // namespace velvin::fuzz
