// The scanning layer: the byte-level readings of text that the parsers and the repair and scale
// stages share. Byte classes (JSON white space, digits, hexadecimal digits, words); the search
// for the next byte of a class, sixteen bytes at a time where the target has SSE2; the
// string-stop search of the strict and tape parsers; the classification of 64-byte blocks into
// one bit mask per byte class; and the tracker that follows double-quoted strings and their
// backslash escapes from block to block. UTF-8 lives beside it in utf8.hpp. No state beyond a scan.
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

// ---- Byte classes ----

// JSON white space: exactly space, tab, line feed and carriage return.
constexpr bool is_json_space(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
constexpr bool is_ascii_letter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
constexpr bool is_word_start(unsigned char c) { return is_ascii_letter(c) || c == '_'; }
constexpr bool is_word_char(unsigned char c) { return is_word_start(c) || is_digit(c); }

// The value of a hexadecimal digit of either case, or -1.
constexpr int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
constexpr bool is_hex_digit(unsigned char c) { return hex_value(c) >= 0; }

// "true", "false" or "null" when `word` is one of them in any ASCII letter case, else empty.
constexpr std::string_view json_literal_folded(std::string_view word) {
  for (const std::string_view literal : {std::string_view("true"), std::string_view("false"),
                                         std::string_view("null")}) {
    if (word.size() != literal.size()) continue;
    // Setting bit 5 folds an upper-case letter onto its lower-case one, and only a letter
    // folds onto a letter.
    std::size_t i = 0;
    while (i < word.size() && static_cast<char>(word[i] | 0x20) == literal[i]) ++i;
    if (i == word.size()) return literal;
  }
  return {};
}

inline unsigned char byte_at(const char* s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}
inline unsigned char byte_at(std::string_view s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}

// ---- Byte classes as types ----
// The searches and the block classifier take a class as a type: `contains` tests one byte and,
// where the target has SSE2, `match` tests sixteen, setting the high bit of every byte lane
// whose byte is in the class (the other bits of a lane are unspecified).

// A fixed set of bytes, plus the word-start bytes (ASCII letters and "_") when kWordStarts.
template <bool kWordStarts, char... kBytes>
struct ByteSet {
  static constexpr bool contains(unsigned char c) {
    return ((c == static_cast<unsigned char>(kBytes)) || ...) || (kWordStarts && is_word_start(c));
  }
#if defined(__SSE2__)
  static __m128i match(__m128i v) {
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
    return hit;
  }
#endif
};

template <char... kBytes>
using Bytes = ByteSet<false, kBytes...>;
using WordStarts = ByteSet<true>;
using Spaces = Bytes<' ', '\t', '\n', '\r'>;

// The ASCII bytes from kLow to kHigh.
template <char kLow, char kHigh>
struct ByteRange {
  static_assert(0 < kLow && kLow <= kHigh, "an ASCII range");
  static constexpr bool contains(unsigned char c) {
    return c >= static_cast<unsigned char>(kLow) && c <= static_cast<unsigned char>(kHigh);
  }
#if defined(__SSE2__)
  static __m128i match(__m128i v) {
    // Signed comparisons: bytes from 0x80 are negative and below every ASCII bound.
    return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(kLow - 1))),
                         _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(kHigh + 1))));
  }
#endif
};

// Bytes up to 0x20: white space and the other control bytes.
struct ControlOrSpace {
  static constexpr bool contains(unsigned char c) { return c <= 0x20; }
#if defined(__SSE2__)
  static __m128i match(__m128i v) {
    return _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x20)), v);
  }
#endif
};

// Bytes equal to kByte once bit 5 is set: Folded<'{'> holds '{' and '[', Folded<'}'> holds '}'
// and ']'.
template <char kByte>
struct Folded {
  static constexpr bool contains(unsigned char c) {
    return (c | 0x20) == static_cast<unsigned char>(kByte);
  }
#if defined(__SSE2__)
  static __m128i match(__m128i v) {
    return _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8(kByte));
  }
#endif
};

// Bytes with the bit kBit set (HasBit<0x80>: the bytes outside ASCII).
template <unsigned kBit>
struct HasBit {
  static_assert(std::has_single_bit(kBit) && kBit <= 0x80, "one bit of a byte");
  static constexpr bool contains(unsigned char c) { return (c & kBit) != 0; }
#if defined(__SSE2__)
  static __m128i match(__m128i v) {
    // Moves the bit to the top of its byte; bits shifted in from the lower byte of a 16-bit
    // lane land below it.
    return _mm_slli_epi16(v, 7 - std::countr_zero(kBit));
  }
#endif
};

// The union of classes.
template <typename... Classes>
struct AnyOf {
  static constexpr bool contains(unsigned char c) { return (Classes::contains(c) || ...); }
#if defined(__SSE2__)
  static __m128i match(__m128i v) {
    __m128i hit = _mm_setzero_si128();
    ((hit = _mm_or_si128(hit, Classes::match(v))), ...);
    return hit;
  }
#endif
};

// The bytes of Class that are not in Excluded.
template <typename Class, typename Excluded>
struct Except {
  static constexpr bool contains(unsigned char c) {
    return Class::contains(c) && !Excluded::contains(c);
  }
#if defined(__SSE2__)
  static __m128i match(__m128i v) { return _mm_andnot_si128(Excluded::match(v), Class::match(v)); }
#endif
};

// ---- Searches ----

// First position >= i whose byte is in Class (or, with kInvert, is not), or n.
template <typename Class, bool kInvert = false>
inline std::size_t find_first(const char* s, std::size_t i, std::size_t n) {
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    unsigned m = static_cast<unsigned>(_mm_movemask_epi8(Class::match(v)));
    if constexpr (kInvert) m = ~m & 0xFFFFu;
    if (m != 0) return i + static_cast<std::size_t>(std::countr_zero(m));
  }
#endif
  for (; i < n; ++i) {
    if (Class::contains(byte_at(s, i)) != kInvert) return i;
  }
  return n;
}

// First position >= i that is not white space, or n. Most runs lie between two tokens and are a
// few bytes or none, which a byte loop passes fastest (the strict parser lost 6% on
// github_events.json when every run went to the vector search from its second byte); longer
// runs, indentation mostly, go sixteen bytes at a time.
inline std::size_t skip_space(const char* s, std::size_t i, std::size_t n) {
  for (const std::size_t stop = n - i > 8 ? i + 8 : n; i < stop; ++i) {
    if (!is_json_space(byte_at(s, i))) return i;
  }
  return find_first<Spaces, true>(s, i, n);
}
inline std::size_t skip_space(std::string_view text, std::size_t i) {
  return skip_space(text.data(), i, text.size());
}

// The end of text[begin, end) without its trailing white space.
inline std::size_t skip_space_back(std::string_view text, std::size_t begin, std::size_t end) {
  while (end > begin && is_json_space(byte_at(text, end - 1))) --end;
  return end;
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
    i = find_first<Bytes<kQuote, '\\'>>(s, i, n);
    if (i >= n) return n;
    if (s[i] == kQuote) return i;
    i += 2;  // the backslash and the byte it escapes
  }
}

// The bytes that end a plain run inside a JSON string: the quote, the backslash and the control
// bytes (which the strict parsers reject there, and the serializer escapes).
inline constexpr std::array<bool, 256> kStringStop = [] {
  std::array<bool, 256> t{};
  for (std::size_t c = 0; c < 0x20; ++c) t[c] = true;
  t['"'] = true;
  t['\\'] = true;
  return t;
}();

// Index of the first string-stop byte at or after `i`, or n. Eight bytes at a time with the
// "has a zero byte" trick on a 64-bit word, which is exact as to whether a lane matched (not
// which), so a hit is located byte by byte.
inline std::size_t find_string_stop(const char* s, std::size_t i, std::size_t n) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  while (i + 8 <= n) {
    std::uint64_t w;
    std::memcpy(&w, s + i, 8);
    const std::uint64_t quote = w ^ (kOnes * '"');
    const std::uint64_t slash = w ^ (kOnes * '\\');
    // A byte below 0x20 or equal to '"' or '\\' makes its lane's high bit set in `hit`
    // (bytes >= 0x80 are excluded by `~w`).
    const std::uint64_t hit = ((w - kOnes * 0x20) | (quote - kOnes) | (slash - kOnes)) & ~w & kHigh;
    if (hit != 0) break;
    i += 8;
  }
  while (i < n && !kStringStop[byte_at(s, i)]) ++i;
  return i;
}

// ---- 64-byte blocks and bit masks ----

inline constexpr std::size_t kBlockBytes = 64;

// The text [start, n) cut into 64-byte blocks; the last one is copied and padded with spaces, so
// that every block can be read whole. Spaces are a class no scanner acts on.
class Blocks {
 public:
  Blocks(const char* text, std::size_t n, std::size_t start) : s_(text), n_(n), base_(start) {}
  [[nodiscard]] bool done() const { return base_ >= n_; }
  [[nodiscard]] std::size_t base() const { return base_; }
  // Bytes of text in the current block (64 but for the last one).
  [[nodiscard]] std::size_t size() const { return n_ - base_ < kBlockBytes ? n_ - base_ : kBlockBytes; }
  // The 64 bytes of the current block.
  const char* bytes() {
    if (n_ - base_ >= kBlockBytes) return s_ + base_;
    std::memset(tail_, ' ', sizeof tail_);
    std::memcpy(tail_, s_ + base_, n_ - base_);
    return tail_;
  }
  void next() { base_ += kBlockBytes; }

 private:
  const char* s_;
  std::size_t n_;
  std::size_t base_;
  char tail_[kBlockBytes];
};

// One mask per class: bit k of mask i is set when byte k of the 64 bytes at `p` is in the i-th
// class.
template <typename... Classes>
inline std::array<std::uint64_t, sizeof...(Classes)> classify(const char* p) {
  std::array<std::uint64_t, sizeof...(Classes)> masks{};
#if defined(__SSE2__)
  for (unsigned k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    std::size_t i = 0;
    ((masks[i++] |= static_cast<std::uint64_t>(
                        static_cast<unsigned>(_mm_movemask_epi8(Classes::match(v))))
                    << (16 * k)),
     ...);
  }
#else
  for (unsigned k = 0; k < kBlockBytes; ++k) {
    const unsigned char c = byte_at(p, k);
    std::size_t i = 0;
    ((masks[i++] |= static_cast<std::uint64_t>(Classes::contains(c)) << k), ...);
  }
#endif
  return masks;
}

// The bits of a block's first `length` bytes.
inline std::uint64_t first_bytes_mask(std::size_t length) {
  return length >= kBlockBytes ? ~std::uint64_t{0} : (std::uint64_t{1} << length) - 1;
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

// Bytes of a block escaped by a backslash if every backslash in it escapes (as one does inside
// a string): the byte after each run of backslashes of odd length. `pending` says that the first
// byte is escaped and, on return, whether the byte after the block's first `length` is.
inline std::uint64_t escaped_bytes(std::uint64_t backslash, std::size_t length,
                                   bool& pending) noexcept {
  // A run of backslashes that starts on an even bit escapes the byte after it when its length
  // is odd, that is when that byte sits on an odd bit; a run starting on an odd bit, when the
  // byte after sits on an even bit. Adding a run's first bit to the mask carries through the
  // run and lands on the byte after it, so two additions (runs by start parity) find them all.
  constexpr std::uint64_t kEven = 0x5555555555555555ULL;
  const std::uint64_t valid = first_bytes_mask(length);
  const std::uint64_t first = pending ? 1 : 0;
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

// Follows double-quoted strings from block to block, the way every scanner here reads them:
// outside a string a double quote opens one and every other byte is plain, a backslash
// included; inside, a backslash escapes the byte after it and an unescaped double quote closes
// the string. The state between blocks is two flags, so a scan can start anywhere (inside a
// string, even on an escaped byte), as the parallel comma scan does for every chunk.
class StringTracker {
 public:
  struct Block {
    std::uint64_t in_string;  // bytes after which a string is open: opening quotes and bodies
    std::uint64_t quotes;     // the quotes that open or close a string
  };

  StringTracker() = default;
  StringTracker(bool in_string, bool escaped) : in_string_(in_string), escaped_(in_string && escaped) {}

  // The block at `p`, of which the first `length` bytes are text and the rest padding that
  // holds no quote and no backslash; `quote` and `backslash` are its masks of '"' and '\\'.
  Block advance(std::uint64_t quote, std::uint64_t backslash, const char* p,
                std::size_t length = kBlockBytes) {
    if (backslash == 0 && !escaped_) {
      // No escapes: the string state flips at every quote.
      const std::uint64_t in = prefix_xor(quote) ^ open_mask();
      in_string_ = (in >> 63) != 0;
      return {in, quote};
    }
    // The escapes as if every backslash stood inside a string. Where the strings that follow
    // do contain every backslash, that is what the byte automaton reads; a backslash outside a
    // string (which only invalid or non-JSON text has) sends the block to the byte walk.
    bool pending = escaped_;
    const std::uint64_t quotes = quote & ~escaped_bytes(backslash, length, pending);
    const std::uint64_t in = prefix_xor(quotes) ^ open_mask();
    if ((backslash & ~in) != 0) return walk_bytes(p, length);
    in_string_ = (in >> 63) != 0;
    escaped_ = in_string_ && pending;
    return {in, quotes};
  }

  [[nodiscard]] bool in_string() const { return in_string_; }
  // The next byte is escaped (only ever inside a string).
  [[nodiscard]] bool escaped() const { return escaped_; }

 private:
  std::uint64_t open_mask() const { return in_string_ ? ~std::uint64_t{0} : 0; }
  // Out of line: it only runs on text that is not JSON.
  Block walk_bytes(const char* p, std::size_t length);

  bool in_string_ = false;
  bool escaped_ = false;
};

}  // namespace velvin::scan
