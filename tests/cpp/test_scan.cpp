// The scanning layer and UTF-8, each piece once: the vector forms against the byte forms, the
// bit-parallel string tracker against the byte automaton, and the UTF-8 readings by table.
#include "core/scan.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/utf8.hpp"

namespace velvin {
namespace {

using namespace scan;

// ---- Byte classes ----

// Every byte of a class is found by the 64-byte classifier and the 16-byte search exactly where
// the one-byte test says so.
template <typename Class>
void expect_vector_form_agrees(const char* name) {
  std::string bytes(256, '\0');
  for (int c = 0; c < 256; ++c) bytes[static_cast<std::size_t>(c)] = static_cast<char>(c);
  for (std::size_t block = 0; block < 4; ++block) {
    const auto [mask] = classify<Class>(bytes.data() + 64 * block);
    for (std::size_t k = 0; k < 64; ++k) {
      const auto c = static_cast<unsigned char>(64 * block + k);
      ASSERT_EQ(((mask >> k) & 1) != 0, Class::contains(c)) << name << " byte " << int(c);
    }
  }
  for (std::size_t i = 0; i < 256; ++i) {
    std::size_t want = i;
    while (want < 256 && !Class::contains(static_cast<unsigned char>(want))) ++want;
    ASSERT_EQ(find_first<Class>(bytes.data(), i, 256), want) << name << " from " << i;
  }
}

TEST(ByteClasses, VectorFormsAgreeWithTheByteTests) {
  expect_vector_form_agrees<Bytes<'"', '\\'>>("quote or backslash");
  expect_vector_form_agrees<Spaces>("spaces");
  expect_vector_form_agrees<WordStarts>("word starts");
  expect_vector_form_agrees<ByteSet<true, '-', '0'>>("word starts and two bytes");
  expect_vector_form_agrees<ByteRange<'0', '9'>>("digits");
  expect_vector_form_agrees<ControlOrSpace>("control or space");
  expect_vector_form_agrees<Folded<'{'>>("openers");
  expect_vector_form_agrees<Folded<'}'>>("closers");
  expect_vector_form_agrees<HasBit<0x20>>("bit 5");
  expect_vector_form_agrees<HasBit<0x80>>("non-ASCII");
  expect_vector_form_agrees<AnyOf<Bytes<','>, ByteRange<'a', 'c'>>>("union");
  expect_vector_form_agrees<Except<ByteRange<'+', '9'>, Bytes<',', '/'>>>("difference");
}

TEST(ByteClasses, Table) {
  struct Case {
    unsigned char c;
    bool space, digit;
    int hex;
    bool word_start, word_char;
  };
  for (const Case& c : std::vector<Case>{{' ', true, false, -1, false, false},
                                         {'\t', true, false, -1, false, false},
                                         {'\f', false, false, -1, false, false},
                                         {'\v', false, false, -1, false, false},
                                         {0xA0, false, false, -1, false, false},
                                         {'7', false, true, 7, false, true},
                                         {'a', false, false, 10, true, true},
                                         {'F', false, false, 15, true, true},
                                         {'g', false, false, -1, true, true},
                                         {'_', false, false, -1, true, true},
                                         {'-', false, false, -1, false, false}}) {
    EXPECT_EQ(is_json_space(c.c), c.space) << int(c.c);
    EXPECT_EQ(is_digit(c.c), c.digit) << int(c.c);
    EXPECT_EQ(hex_value(c.c), c.hex) << int(c.c);
    EXPECT_EQ(is_word_start(c.c), c.word_start) << int(c.c);
    EXPECT_EQ(is_word_char(c.c), c.word_char) << int(c.c);
  }
}

TEST(ByteClasses, JsonLiteralFolding) {
  EXPECT_EQ(json_literal_folded("TRUE"), "true");
  EXPECT_EQ(json_literal_folded("False"), "false");
  EXPECT_EQ(json_literal_folded("nuLL"), "null");
  EXPECT_EQ(json_literal_folded("None"), "");
  EXPECT_EQ(json_literal_folded("nul"), "");
  EXPECT_EQ(json_literal_folded("truth"), "");
}

// ---- Searches ----

TEST(Searches, WhiteSpaceAndStringEnds) {
  const std::string spaced = "  \t\r\n" + std::string(40, ' ') + "x  \n";
  EXPECT_EQ(skip_space(spaced, 0), 45U);
  EXPECT_EQ(skip_space(spaced, 45), 45U);
  EXPECT_EQ(skip_space(spaced, 46), spaced.size());
  EXPECT_EQ(skip_space_back(spaced, 0, spaced.size()), 46U);
  EXPECT_EQ(skip_space_back(spaced, 46, spaced.size()), 46U);
  EXPECT_EQ(skip_space(std::string_view("\f"), 0), 0U);  // form feed is not JSON white space
  const std::string s = R"(ab\"c\\"d)";
  EXPECT_EQ(string_close<'"'>(s.data(), 0, s.size()), 7U);
  EXPECT_EQ(string_close<'\''>(s.data(), 0, s.size()), s.size());
  const std::string open = "ab\\";
  EXPECT_EQ(string_close<'"'>(open.data(), 0, open.size()), open.size());
}

TEST(Searches, StringStopAtEveryOffset) {
  // One stop byte at each offset of a 40-byte run, searched from each start before it.
  for (const char stop : {'"', '\\', '\0', '\x1f', '\n'}) {
    for (std::size_t at = 0; at < 40; ++at) {
      std::string text(40, 'a');
      text[at] = stop;
      text[(at + 7) % 40] = '\x80';  // bytes from 0x80 never stop a run
      if ((at + 7) % 40 == at) continue;
      for (std::size_t from = 0; from <= at; ++from) {
        ASSERT_EQ(find_string_stop(text.data(), from, text.size()), at) << int(stop) << " " << at;
      }
    }
  }
  EXPECT_EQ(find_string_stop("plain text without stops", 0, 24), 24U);
  EXPECT_EQ(find_string_stop(" !#~\x7f\xff", 0, 6), 6U);
}

// ---- Strings across blocks ----

// The byte automaton every scanner follows, as the reference: bit i of `in_string` is the state
// after byte i, `quotes` marks the quotes that open or close a string.
struct Reference {
  std::vector<bool> in_string, quotes;
  bool end_in_string, end_escaped;
};

Reference reference_strings(std::string_view text, bool in_string, bool escaped) {
  Reference r;
  escaped = in_string && escaped;  // an escape means nothing outside a string
  for (char c : text) {
    bool quote = false;
    if (!in_string) {
      quote = in_string = c == '"';
    } else if (escaped) {
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else if (c == '"') {
      quote = true;
      in_string = false;
    }
    r.in_string.push_back(in_string);
    r.quotes.push_back(quote);
  }
  r.end_in_string = in_string;
  r.end_escaped = in_string && escaped;
  return r;
}

void expect_tracker_matches(std::string_view text, bool in_string, bool escaped) {
  const Reference want = reference_strings(text, in_string, escaped);
  StringTracker tracker(in_string, escaped);
  for (Blocks blocks(text.data(), text.size(), 0); !blocks.done(); blocks.next()) {
    const char* p = blocks.bytes();
    const auto [quote, backslash] = classify<Bytes<'"'>, Bytes<'\\'>>(p);
    const StringTracker::Block got = tracker.advance(quote, backslash, p, blocks.size());
    for (std::size_t k = 0; k < blocks.size(); ++k) {
      const std::size_t i = blocks.base() + k;
      ASSERT_EQ(((got.in_string >> k) & 1) != 0, want.in_string[i]) << "byte " << i << " of " << text;
      ASSERT_EQ(((got.quotes >> k) & 1) != 0, want.quotes[i]) << "byte " << i << " of " << text;
    }
  }
  EXPECT_EQ(tracker.in_string(), want.end_in_string) << text;
  EXPECT_EQ(tracker.escaped(), want.end_escaped) << text;
}

TEST(StringTracker, Table) {
  const std::string run63 = "\"" + std::string(62, 'a');
  for (const std::string& text : {
           std::string(R"("a\"b" "c")"),
           std::string(R"(\"a" \ "b\\")"),              // backslashes outside strings are plain
           run63 + "\\\"x\"",                           // an escape across the block boundary
           run63 + "\\\\\"x",                           // an escaped backslash across it
           run63 + "\\",                                // a text that ends escaped
           "\"" + std::string(61, 'a') + "\\\\\\\"\"",  // a run of three, split 2 + 1
           "\"" + std::string(130, '\\') + "\"x\"",
           std::string(100, '"'),
       }) {
    for (const bool in_string : {false, true}) {
      for (const bool escaped : {false, true}) expect_tracker_matches(text, in_string, escaped);
    }
  }
}

TEST(StringTracker, RandomTextsFromEveryEntryState) {
  const std::vector<std::string> pieces = {"\"", "\\", "\\\\", "\\\"", "a", "    ", "{", "'"};
  std::mt19937 rng(17);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 180);
  for (int round = 0; round < 4000; ++round) {
    std::string text;
    for (int i = length(rng); i > 0; --i) text += pieces[pick(rng)];
    expect_tracker_matches(text, round % 2 == 1, round % 4 == 3);
  }
}

TEST(EscapedBytes, RunsOfEveryParity) {
  struct Case {
    std::uint64_t backslash;
    std::size_t length;
    bool pending_in;
    std::uint64_t escaped;
    bool pending_out;
  };
  for (const Case& c : std::vector<Case>{
           {0b0001, 64, false, 0b0010, false},
           {0b0011, 64, false, 0, false},
           {0b0111, 64, false, 0b1000, false},
           {0b0110, 64, false, 0, false},
           {0b0001, 64, true, 0b0001, false},  // the first backslash is itself escaped
           {0b0011, 64, true, 0b0101, false},
           {std::uint64_t{1} << 63, 64, false, 0, true},
           {std::uint64_t{3} << 62, 64, false, 0, false},
           {0b1000, 4, false, 0, true},  // a short block hands its escape on
       }) {
    bool pending = c.pending_in;
    EXPECT_EQ(escaped_bytes(c.backslash, c.length, pending), c.escaped) << c.backslash;
    EXPECT_EQ(pending, c.pending_out) << c.backslash;
  }
}

// ---- UTF-8 ----

TEST(Utf8, ValidationReportsTheFirstFault) {
  EXPECT_FALSE(validate_utf8("plain ascii text, long enough for the 16-byte path").has_value());
  EXPECT_FALSE(validate_utf8("é日😀").has_value());
  struct Case {
    std::string bytes;
    std::uint64_t position;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {"ab\xff", 2, "invalid utf-8 sequence of 1 bytes from index 2"},
           {"\xC0\x80", 0, "invalid utf-8 sequence of 1 bytes from index 0"},
           {"\xED\xA0\x80", 0, "invalid utf-8 sequence of 1 bytes from index 0"},
           {"\xE2\x82", 0, "incomplete utf-8 byte sequence from index 0"},
           {"\xE2\x82x", 0, "invalid utf-8 sequence of 2 bytes from index 0"},
           {"\xF0\x9F\x98", 0, "incomplete utf-8 byte sequence from index 0"},
           {"\xF0\x9F\x98x", 0, "invalid utf-8 sequence of 3 bytes from index 0"},
           {"\xF4\x90\x80\x80", 0, "invalid utf-8 sequence of 1 bytes from index 0"},
           {"12345678\x80", 8, "invalid utf-8 sequence of 1 bytes from index 8"},
           {"0123456789abcdefé\xC3", 18, "incomplete utf-8 byte sequence from index 18"}}) {
    const auto error = validate_utf8(c.bytes);
    ASSERT_TRUE(error.has_value()) << c.bytes;
    const ErrorCode code = c.message.starts_with("incomplete") ? ErrorCode::incomplete_utf8
                                                                : ErrorCode::invalid_utf8;
    EXPECT_EQ(*error, (Error{code, c.position, c.message}));
    EXPECT_FALSE(is_valid_utf8(c.bytes));
  }
}

TEST(Utf8, LossyDecodingReplacesEachMaximalSubpart) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(decode_utf8_lossy("ok"), "ok");
  EXPECT_EQ(decode_utf8_lossy("\xff{}"), fffd + "{}");
  EXPECT_EQ(decode_utf8_lossy("\xED\xA0\x80"), fffd + fffd + fffd);  // a surrogate's UTF-8 form
  EXPECT_EQ(decode_utf8_lossy("a\xE2\x82"), "a" + fffd);
  EXPECT_EQ(decode_utf8_lossy("\xE2\x82\xE2\x82\xAC"), fffd + "€");
  EXPECT_EQ(decode_utf8_lossy(std::string_view("\0\x80", 2)), std::string("\0", 1) + fffd);
}

TEST(Utf8, CharactersAndTrimming) {
  EXPECT_EQ(decode_utf8_at("a€", 1), (std::pair<char32_t, std::size_t>{0x20AC, 3}));
  EXPECT_EQ(decode_utf8_at("\xE2\x82", 0), (std::pair<char32_t, std::size_t>{0xE2, 1}));
  std::string encoded;
  for (char32_t c : {char32_t{0x41}, char32_t{0xE9}, char32_t{0x20AC}, char32_t{0x1F600}}) {
    append_utf8(encoded, c);
  }
  EXPECT_EQ(encoded, "Aé€😀");
  EXPECT_EQ(trim_unicode_space(" \t\u00a0x y\u3000\n"), "x y");
  EXPECT_EQ(trim_unicode_space("\u2028\u2029"), "");
  EXPECT_EQ(trim_unicode_space("\u200bx"), "\u200bx");  // zero-width space is not white space
  EXPECT_EQ(trim_unicode_space(""), "");
  EXPECT_EQ(ascii_lower("TRUE Élan"), "true Élan");
}

}  // namespace
}  // namespace velvin
