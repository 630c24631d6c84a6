#include "core/scan.hpp"

namespace velvin::scan {

namespace {

std::uint64_t low_bits(std::size_t length) noexcept {
  return length >= kBlockBytes ? ~std::uint64_t{0} : (std::uint64_t{1} << length) - 1;
}

}  // namespace

std::uint64_t escaped_bytes(std::uint64_t backslash, std::size_t length, bool& pending) noexcept {
  // A run of backslashes that starts on an even bit escapes the byte after it when its length
  // is odd, that is when that byte sits on an odd bit; a run starting on an odd bit, when the
  // byte after sits on an even bit. Adding a run's first bit to the mask carries through the
  // run and lands on the byte after it, so two additions (runs by start parity) find them all.
  constexpr std::uint64_t kEven = 0x5555555555555555ULL;
  const std::uint64_t first = pending ? 1 : 0;
  const std::uint64_t valid = low_bits(length);
  const std::uint64_t b = backslash & valid & ~first;  // an escaped backslash escapes nothing
  const std::uint64_t starts = b & ~(b << 1);
  const std::uint64_t after_even_runs = (b + (starts & kEven)) & ~b;
  std::uint64_t sum = 0;
  // A run starting on an odd bit that reaches bit 63 escapes the next block's first byte.
  const bool carry = __builtin_add_overflow(b, starts & ~kEven, &sum);
  const std::uint64_t after_odd_runs = sum & ~b;
  const std::uint64_t escaped = first | (after_even_runs & ~kEven) | (after_odd_runs & kEven);
  pending = length >= kBlockBytes ? carry : ((escaped >> length) & 1) != 0;
  return escaped & valid;
}

StringTracker::Block StringTracker::advance_escaped(std::uint64_t quote, std::uint64_t backslash,
                                                    const char* p, std::size_t length) {
  // The escapes as if every backslash stood inside a string. Where the strings that follow do
  // contain every backslash, that is what the byte automaton reads; a backslash outside a string
  // (which only invalid or non-JSON text has) sends the block to the byte-by-byte walk.
  bool pending = escaped_;
  const std::uint64_t quotes = quote & ~escaped_bytes(backslash, length, pending);
  const std::uint64_t in = prefix_xor(quotes) ^ open_mask();
  if ((backslash & ~in) != 0) return walk_bytes(p, length);
  in_string_ = (in >> 63) != 0;
  escaped_ = in_string_ && pending;
  return {in, quotes};
}

[[gnu::noinline]] StringTracker::Block StringTracker::walk_bytes(const char* p,
                                                                 std::size_t length) {
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
  if (in_string) block.in_string |= ~low_bits(length);
  in_string_ = in_string;
  escaped_ = in_string && escaped;
  return block;
}

}  // namespace velvin::scan
