// The scanning layer's vectorised and bit-parallel pieces agree with plain byte-by-byte loops on
// any bytes: the string tracker (in-string and quote masks, the state it hands on) entered in any
// state and at any offset, the string-stop search, the block classifier, the white-space skip,
// and UTF-8 validation (position and message) and lossy decoding against a table-driven decoder.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/scan.hpp"
#include "core/utf8.hpp"
#include "fuzz_common.hpp"

namespace {

using velvin::fuzz::check;
namespace scan = velvin::scan;

// ---- The string automaton ----

void check_string_tracker(std::string_view text, bool in_string, bool escaped) {
  bool ref_in = in_string;
  bool ref_escaped = in_string && escaped;
  scan::StringTracker tracker(in_string, escaped);
  for (scan::Blocks blocks(text.data(), text.size(), 0); !blocks.done(); blocks.next()) {
    const char* p = blocks.bytes();
    const auto [quote, backslash] = scan::classify<scan::Bytes<'"'>, scan::Bytes<'\\'>>(p);
    const scan::StringTracker::Block got = tracker.advance(quote, backslash, p, blocks.size());
    for (std::size_t k = 0; k < blocks.size(); ++k) {
      const char c = text[blocks.base() + k];
      bool is_quote = false;
      if (!ref_in) {
        is_quote = ref_in = c == '"';
      } else if (ref_escaped) {
        ref_escaped = false;
      } else if (c == '\\') {
        ref_escaped = true;
      } else if (c == '"') {
        is_quote = true;
        ref_in = false;
      }
      check(((got.in_string >> k) & 1) == (ref_in ? 1U : 0U), "in-string mask");
      check(((got.quotes >> k) & 1) == (is_quote ? 1U : 0U), "quote mask");
    }
  }
  check(tracker.in_string() == ref_in, "string state handed on");
  check(tracker.escaped() == (ref_in && ref_escaped), "escape state handed on");
}

// ---- Searches and classes ----

void check_string_stop(std::string_view text, std::size_t from) {
  std::size_t want = from;
  while (want < text.size()) {
    const auto c = static_cast<unsigned char>(text[want]);
    if (c < 0x20 || c == '"' || c == '\\') break;
    ++want;
  }
  check(scan::find_string_stop(text.data(), from, text.size()) == want, "string-stop search");
}

void check_skip_space(std::string_view text, std::size_t from) {
  std::size_t want = from;
  while (want < text.size() && scan::is_json_space(static_cast<unsigned char>(text[want]))) ++want;
  check(scan::skip_space(text, from) == want, "white-space skip");
}

template <typename... Classes>
void check_classes(std::string_view text) {
  for (scan::Blocks blocks(text.data(), text.size(), 0); !blocks.done(); blocks.next()) {
    const char* p = blocks.bytes();
    const std::array<std::uint64_t, sizeof...(Classes)> masks = scan::classify<Classes...>(p);
    for (std::size_t k = 0; k < scan::kBlockBytes; ++k) {
      const auto c = static_cast<unsigned char>(p[k]);
      std::size_t i = 0;
      const bool agree = (((((masks[i++] >> k) & 1) != 0) == Classes::contains(c)) && ...);
      check(agree, "block classification");
    }
  }
}

// ---- UTF-8, by the table of well-formed byte sequences ----

struct Sequence {
  bool ok;
  std::size_t length;  // of the character, or of the maximal invalid subpart
  bool incomplete;     // the text ends inside a sequence valid so far
};

Sequence reference_sequence(std::string_view s, std::size_t i) {
  struct Row {
    unsigned char lead_low, lead_high;
    std::array<unsigned char, 6> ranges;  // low/high bounds of up to three continuation bytes
    std::size_t continuations;
  };
  static constexpr Row kRows[] = {
      {0x00, 0x7F, {}, 0},
      {0xC2, 0xDF, {0x80, 0xBF}, 1},
      {0xE0, 0xE0, {0xA0, 0xBF, 0x80, 0xBF}, 2},
      {0xE1, 0xEC, {0x80, 0xBF, 0x80, 0xBF}, 2},
      {0xED, 0xED, {0x80, 0x9F, 0x80, 0xBF}, 2},
      {0xEE, 0xEF, {0x80, 0xBF, 0x80, 0xBF}, 2},
      {0xF0, 0xF0, {0x90, 0xBF, 0x80, 0xBF, 0x80, 0xBF}, 3},
      {0xF1, 0xF3, {0x80, 0xBF, 0x80, 0xBF, 0x80, 0xBF}, 3},
      {0xF4, 0xF4, {0x80, 0x8F, 0x80, 0xBF, 0x80, 0xBF}, 3},
  };
  const auto lead = static_cast<unsigned char>(s[i]);
  for (const Row& row : kRows) {
    if (lead < row.lead_low || lead > row.lead_high) continue;
    for (std::size_t k = 0; k < row.continuations; ++k) {
      if (i + 1 + k >= s.size()) return {false, 1 + k, true};
      const auto c = static_cast<unsigned char>(s[i + 1 + k]);
      if (c < row.ranges[2 * k] || c > row.ranges[2 * k + 1]) return {false, 1 + k, false};
    }
    return {true, 1 + row.continuations, false};
  }
  return {false, 1, false};
}

void check_utf8(std::string_view text) {
  std::string lossy;
  std::string expected_error;
  std::size_t error_at = 0;
  bool incomplete = false;
  for (std::size_t i = 0; i < text.size();) {
    const Sequence seq = reference_sequence(text, i);
    if (seq.ok) {
      lossy.append(text.substr(i, seq.length));
    } else {
      lossy += "\xEF\xBF\xBD";
      if (expected_error.empty()) {
        error_at = i;
        incomplete = seq.incomplete;
        expected_error = seq.incomplete ? "incomplete utf-8 byte sequence from index " +
                                              std::to_string(i)
                                        : "invalid utf-8 sequence of " +
                                              std::to_string(seq.length) + " bytes from index " +
                                              std::to_string(i);
      }
    }
    i += seq.length;
  }
  const auto error = velvin::validate_utf8(text);
  check(error.has_value() == !expected_error.empty(), "validation verdict");
  check(velvin::is_valid_utf8(text) == expected_error.empty(), "validity check");
  if (error) {
    check(error->code == (incomplete ? velvin::ErrorCode::incomplete_utf8
                                     : velvin::ErrorCode::invalid_utf8),
          "validation code");
    check(error->position == error_at, "validation position");
    check(error->message == expected_error, "validation message");
  }
  check(velvin::decode_utf8_lossy(text) == lossy, "lossy decoding");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velvin::fuzz::ByteReader reader(data, size);
  const std::uint8_t mode = reader.byte();
  const std::uint8_t offset = reader.byte();
  const std::string_view text = reader.rest();
  // The tracker entered at an offset inside the text, as a chunk of the parallel scan is.
  const std::string_view chunk = text.substr(std::min<std::size_t>(offset, text.size()));
  check_string_tracker(chunk, (mode & 1) != 0, (mode & 2) != 0);
  check_string_tracker(text, false, false);
  const std::size_t from = std::min<std::size_t>(offset % 24, text.size());
  check_string_stop(text, from);
  check_skip_space(text, from);
  using namespace scan;
  check_classes<Bytes<'"', '\\'>, Spaces, WordStarts, ByteSet<true, '+', '-', '.'>,
                ByteRange<'0', '9'>, Except<ByteRange<'+', '9'>, Bytes<',', '/'>>, ControlOrSpace, Folded<'{'>, Folded<'}'>, HasBit<0x20>,
                HasBit<0x80>>(text);
  check_utf8(text);
  return 0;
}
