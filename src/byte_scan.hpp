// Byte scanning shared by the extraction and heuristic-repair scanners: classes of ASCII bytes,
// and the search for the next byte of a small fixed set, sixteen bytes at a time where the
// target has SSE2 and one at a time elsewhere. Header-only; no state.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

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
