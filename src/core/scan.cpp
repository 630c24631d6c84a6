#include "core/scan.hpp"

namespace velvin::scan {

StringTracker::Block StringTracker::walk_bytes(const char* p, std::size_t length) {
  Block block{0, 0};
  bool in_string = in_string_;
  bool escaped = escaped_;
  for (std::size_t k = 0; k < length; ++k) {
    const std::uint64_t bit = std::uint64_t{1} << k;
    const char c = p[k];
    if (!in_string) {
      if (c == '"') {
        in_string = true;
        block.quotes |= bit;
      }
    } else if (escaped) {
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else if (c == '"') {
      in_string = false;
      block.quotes |= bit;
    }
    if (in_string) block.in_string |= bit;
  }
  // The padding keeps the state of the last byte, as the bit-parallel path gives it.
  if (in_string) block.in_string |= ~first_bytes_mask(length);
  in_string_ = in_string;
  escaped_ = in_string && escaped;
  return block;
}

}  // namespace velvin::scan
