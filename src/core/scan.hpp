// Byte scanning shared by the extraction and heuristic-repair scanners: classes of ASCII bytes,
// and the search for the next byte of a small fixed set, sixteen bytes at a time where the
// target has SSE2 and one at a time elsewhere. Header-only; no state.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velvin::scan {

constexpr bool is_ascii_letter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
constexpr bool is_word_start(unsigned char c) { return is_ascii_letter(c) || c == '_'; }
constexpr bool is_word_char(unsigned char c) { return is_word_start(c) || is_digit(c); }
constexpr bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline unsigned char byte_at(const char* s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}

// A fixed set of bytes, plus the word-start bytes (ASCII letters and "_") when kWordStarts.
template <bool kWordStarts, char... kBytes>
struct ByteSet {
  static constexpr bool contains(unsigned char c) {
    return ((c == static_cast<unsigned char>(kBytes)) || ...) || (kWordStarts && is_word_start(c));
  }
#if defined(__SSE2__)
  // Bit k is set when byte k of `v` is in the set.
  static unsigned mask(__m128i v) {
    __m128i hit = _mm_setzero_si128();
    ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(kBytes)))), ...);
    if constexpr (kWordStarts) {
      // Setting bit 5 folds upper-case letters onto lower-case ones; bytes from 0x80 are
      // negative as signed and fail the first comparison.
      const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
      const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                           _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1)));
      hit = _mm_or_si128(hit, _mm_or_si128(letter, _mm_cmpeq_epi8(v, _mm_set1_epi8('_'))));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
  }
#endif
};

using Spaces = ByteSet<false, ' ', '\t', '\n', '\r'>;

// First position >= i whose byte is in Set (or, with kInvert, is not), or n.
template <typename Set, bool kInvert = false>
inline std::size_t find_first(const char* s, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    unsigned m = Set::mask(v);
    if constexpr (kInvert) m = ~m & 0xFFFFu;
    if (m != 0) return i + static_cast<std::size_t>(std::countr_zero(m));
  }
#endif
  for (; i < n; ++i) {
    if (Set::contains(byte_at(s, i)) != kInvert) return i;
  }
  return n;
}

// First position >= i that is not white space, or n. Most runs are one byte or none.
inline std::size_t skip_space(const char* s, std::size_t i, std::size_t n) {
  if (i >= n || !is_space(byte_at(s, i))) return i;
  return find_first<Spaces, true>(s, i + 1, n);
}

// Length of the line break that ends `text` ("\n", "\r\n" or "\r"; 0 when there is none or it
// is escaped). A string cut off by the end of a model's output does not own the output's final
// line break: the file ends there, the string does not go on.
inline std::size_t final_line_break(std::string_view text) {
  std::size_t k = 0;
  if (!text.empty() && text.back() == '\n') k = 1;
  if (text.size() > k && text[text.size() - k - 1] == '\r') ++k;
  if (k > 0 && text.size() > k && text[text.size() - k - 1] == '\\') return 0;
  return k;
}

// Index of the quote that closes a string whose body starts at `i`, or n when the text ends
// first. A backslash escapes the byte after it.
template <char kQuote>
inline std::size_t string_close(const char* s, std::size_t i, std::size_t n) {
  for (;;) {
    i = find_first<ByteSet<false, kQuote, '\\'>>(s, i, n);
    if (i >= n) return n;
    if (s[i] == kQuote) return i;
    i += 2;  // the backslash and the byte it escapes
  }
}

// ---- 64-byte blocks and bit masks ----

// The text cut into 64-byte blocks from `start`; the last one is copied and padded with spaces,
// so every block can be read whole.
class Blocks {
 public:
  Blocks(const char* text, std::size_t n, std::size_t start) : s_(text), n_(n), base_(start) {}
  [[nodiscard]] bool done() const { return base_ >= n_; }
  [[nodiscard]] std::size_t base() const { return base_; }
  // The 64 bytes of the current block.
  const char* bytes() {
    if (n_ - base_ >= 64) return s_ + base_;
    std::memset(tail_, ' ', sizeof tail_);
    std::memcpy(tail_, s_ + base_, n_ - base_);
    return tail_;
  }
  void next() { base_ += 64; }

 private:
  const char* s_;
  std::size_t n_;
  std::size_t base_;
  char tail_[64];
};

// Bit k of mask i is set when byte k of the 64 bytes at `p` equals the i-th of kChars.
template <char... kChars>
inline std::array<std::uint64_t, sizeof...(kChars)> equal_masks(const char* p) {
  std::array<std::uint64_t, sizeof...(kChars)> masks{};
#if defined(__SSE2__)
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    std::size_t i = 0;
    ((masks[i++] |= static_cast<std::uint64_t>(static_cast<unsigned>(
                        _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(kChars)))))
                    << (16 * k)),
     ...);
  }
#else
  for (unsigned k = 0; k < 64; ++k) {
    std::size_t i = 0;
    ((masks[i++] |= static_cast<std::uint64_t>(p[k] == kChars) << k), ...);
  }
#endif
  return masks;
}

// Bit k set when an odd number of bits at or below k are set.
inline std::uint64_t prefix_xor(std::uint64_t x) {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

// `bits` + `addend` + `carry` over 64 bits, keeping the carry out for the next block.
inline std::uint64_t add_with_carry(std::uint64_t bits, std::uint64_t addend, std::uint64_t& carry) {
  __extension__ typedef unsigned __int128 u128;
  const u128 sum = static_cast<u128>(bits) + addend + carry;
  carry = static_cast<std::uint64_t>(sum >> 64);
  return static_cast<std::uint64_t>(sum);
}

// Follows double-quoted strings from block to block. A backslash escapes the byte after it
// inside strings only; outside strings it is an ordinary byte.
class StringTracker {
 public:
  struct Block {
    std::uint64_t in_string;  // opening quotes and string bodies (closing quotes are out)
    std::uint64_t quotes;     // the quotes that open or close a string
  };

  // `quote` and `backslash` are the masks of '"' and '\\' in the 64 bytes at `p`.
  Block advance(std::uint64_t quote, std::uint64_t backslash, const char* p) {
    // A quote is escaped when the backslash run before it has odd length: a run that starts on
    // an even bit and ends before an odd one, or the reverse. This takes every backslash for
    // an escape; where one stands outside strings, the block is read again byte by byte.
    constexpr std::uint64_t kEven = 0x5555555555555555ULL;
    const std::uint64_t b = backslash;
    const bool escape_pending = (backslash_carry_ & odd_run_carry_) != 0;
    const std::uint64_t run_starts = b & ~((b << 1) | backslash_carry_);
    backslash_carry_ = b >> 63;
    const std::uint64_t after_even = add_with_carry(b, run_starts & kEven, even_run_carry_) & ~b;
    const std::uint64_t after_odd = add_with_carry(b, run_starts & ~kEven, odd_run_carry_) & ~b;
    const std::uint64_t escaped = (after_even & ~kEven) | (after_odd & kEven);
    Block block;
    block.quotes = quote & ~escaped;
    block.in_string = prefix_xor(block.quotes) ^ in_string_carry_;
    if ((b & ~block.in_string) != 0) block = read_bytes(p, escape_pending);
    in_string_carry_ = static_cast<std::uint64_t>(static_cast<std::int64_t>(block.in_string) >> 63);
    return block;
  }

  [[nodiscard]] bool in_string() const { return in_string_carry_ != 0; }

 private:
  Block read_bytes(const char* p, bool escape_pending) {
    Block block{0, 0};
    bool in_string = in_string_carry_ != 0;
    for (unsigned k = 0; k < 64; ++k) {
      const std::uint64_t bit = std::uint64_t{1} << k;
      const char c = p[k];
      if (!in_string) {
        if (c == '"') {
          in_string = true;
          block.quotes |= bit;
          block.in_string |= bit;
        }
      } else if (escape_pending) {
        escape_pending = false;
        block.in_string |= bit;
      } else if (c == '"') {
        in_string = false;
        block.quotes |= bit;
      } else {
        escape_pending = c == '\\';
        block.in_string |= bit;
      }
    }
    // Hand a pending escape to the next block as a backslash run of odd start.
    even_run_carry_ = 0;
    backslash_carry_ = odd_run_carry_ = escape_pending ? 1 : 0;
    return block;
  }

  std::uint64_t in_string_carry_ = 0;  // all ones while a string is open across blocks
  std::uint64_t backslash_carry_ = 0;  // the last byte of the previous block was a backslash
  std::uint64_t even_run_carry_ = 0;   // a backslash run is carried over, by its start parity
  std::uint64_t odd_run_carry_ = 0;
};

// Whether `text` is well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF). Runs
// of ASCII are passed sixteen bytes at a time.
inline bool is_valid_utf8(const char* text, std::size_t n) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  std::size_t i = 0;
  while (i < n) {
#if defined(__SSE2__)
    if (i + 16 <= n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      const auto high = static_cast<unsigned>(_mm_movemask_epi8(v));
      if (high == 0) {
        i += 16;
        continue;
      }
      i += static_cast<std::size_t>(std::countr_zero(high));
    }
#endif
    const unsigned char lead = s[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (n - i < length || s[i + 1] < low || s[i + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace velvin::scan
