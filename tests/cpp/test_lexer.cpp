#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "repair/lexer.hpp"

namespace velvin {
namespace {

// A token in test notation: kind, text, start, end (closed and quote checked separately).
struct Expected {
  TokenKind kind;
  std::string text;
  std::size_t start;
  std::size_t end;
};

void expect_tokens(std::string_view input, bool single_quotes, const std::vector<Expected>& want) {
  const std::vector<Token> got = tolerant_lex(input, single_quotes);
  ASSERT_EQ(got.size(), want.size() + 1) << input;
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].kind, want[i].kind) << input << " token " << i;
    EXPECT_EQ(got[i].text, want[i].text) << input << " token " << i;
    EXPECT_EQ(got[i].start, want[i].start) << input << " token " << i;
    EXPECT_EQ(got[i].end, want[i].end) << input << " token " << i;
  }
  const Token& eof = got.back();
  EXPECT_EQ(eof.kind, TokenKind::Eof);
  EXPECT_EQ(eof.start, input.size());
  EXPECT_EQ(eof.end, input.size());
  EXPECT_TRUE(eof.text.empty());
}

using K = TokenKind;

TEST(TolerantLex, EmptyInputIsOnlyEof) {
  const auto tokens = tolerant_lex("", true);
  ASSERT_EQ(tokens.size(), 1u);
  EXPECT_EQ(tokens[0].kind, K::Eof);
  EXPECT_EQ(tokens[0].start, 0u);
  EXPECT_EQ(tokens[0].end, 0u);
}

TEST(TolerantLex, SingleQuotedKeyWhenAllowed) {
  expect_tokens("{'a': True}", true,
                {{K::Punct, "{", 0, 1},
                 {K::Str, "a", 1, 4},
                 {K::Punct, ":", 4, 5},
                 {K::Literal, "true", 6, 10},
                 {K::Punct, "}", 10, 11}});
  const auto tokens = tolerant_lex("{'a': True}", true);
  EXPECT_EQ(tokens[1].quote, '\'');
  EXPECT_TRUE(tokens[1].closed);
  EXPECT_FALSE(tokens[0].quote.has_value());
}

TEST(TolerantLex, SingleQuoteIsGarbageWhenNotAllowed) {
  // A garbage run keeps its first byte even when it is a delimiter: the closing quote is a
  // run of its own.
  expect_tokens("{'a': True}", false,
                {{K::Punct, "{", 0, 1},
                 {K::Garbage, "'a", 1, 3},
                 {K::Garbage, "'", 3, 4},
                 {K::Punct, ":", 4, 5},
                 {K::Literal, "true", 6, 10},
                 {K::Punct, "}", 10, 11}});
}

TEST(TolerantLex, UnterminatedStrings) {
  const std::string input = R"({"key": "val)";
  const auto tokens = tolerant_lex(input, true);
  ASSERT_EQ(tokens.size(), 5u);
  EXPECT_EQ(tokens[3].kind, K::Str);
  EXPECT_EQ(tokens[3].text, "val");
  EXPECT_FALSE(tokens[3].closed);
  EXPECT_EQ(tokens[3].end, input.size());
  EXPECT_TRUE(tokens[1].closed);

  const auto lone = tolerant_lex("[\"", true);
  ASSERT_EQ(lone.size(), 3u);
  EXPECT_EQ(lone[1].kind, K::Str);
  EXPECT_EQ(lone[1].text, "");
  EXPECT_FALSE(lone[1].closed);
  EXPECT_EQ(lone[1].end, 2u);

  // A backslash as the last byte leaves the string open.
  const auto escaped = tolerant_lex("\"ab\\", true);
  EXPECT_EQ(escaped[0].text, "ab");
  EXPECT_FALSE(escaped[0].closed);
  // An escaped quote does not close; the other quote needs no escape.
  const auto inner = tolerant_lex(R"("a\"b'c")", true);
  EXPECT_EQ(inner[0].text, "a\"b'c");
  EXPECT_TRUE(inner[0].closed);
}

struct EscapeCase {
  const char* input;  // a string literal body between double quotes
  const char* decoded;
};

class StringEscapes : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(StringEscapes, Decode) {
  const std::string input = std::string("\"") + GetParam().input + "\"";
  const auto [token, resume] = read_string(input, 0, '"');
  EXPECT_EQ(token.text, GetParam().decoded) << input;
  EXPECT_EQ(resume, input.size());
  EXPECT_EQ(token.end, input.size());
  EXPECT_TRUE(token.closed);
  EXPECT_EQ(token.kind, K::Str);
}

INSTANTIATE_TEST_SUITE_P(
    TolerantLex, StringEscapes,
    ::testing::Values(EscapeCase{R"(\u0041)", "A"}, EscapeCase{R"(\u00e9)", "\xC3\xA9"},
                      EscapeCase{R"(\u00E9)", "\xC3\xA9"}, EscapeCase{R"(\uZZZZ)", "ZZZZ"},
                      EscapeCase{R"(\ud83d\ude00)", "\xF0\x9F\x98\x80"},
                      EscapeCase{R"(\ud83dx)", "\xEF\xBF\xBD" "x"}, EscapeCase{R"(\ude00)", "\xEF\xBF\xBD"},
                      EscapeCase{R"(\ud83d\u0041)", "\xEF\xBF\xBD" "A"}, EscapeCase{R"(\u+041)", "A"},
                      EscapeCase{R"(\n\r\t\b\f)", "\n\r\t\b\f"},
                      // A backslash before what no escape begins is the writer's own and stays.
                      EscapeCase{R"(\\\'\/\x)", "\\'/\\x"},
                      EscapeCase{"\\\xC3\xA9", "\\\xC3\xA9"}, EscapeCase{R"(C:\Users)", "C:\\Users"},
                      EscapeCase{"raw\nline\xE2\x82\xAC", "raw\nline\xE2\x82\xAC"}));

TEST(TolerantLex, CutShortUnicodeEscapeReadsOnAsText) {
  // Only three bytes follow the "u" before the end: the "u" is dropped, the quote still closes.
  const auto tokens = tolerant_lex(R"("\u12")", true);
  EXPECT_EQ(tokens[0].text, "12");
  EXPECT_TRUE(tokens[0].closed);
  // Exactly four bytes after the "u" at the very end still decode.
  const auto last = tolerant_lex(R"("\u0041)", true);
  EXPECT_EQ(last[0].text, "A");
  EXPECT_FALSE(last[0].closed);
}

TEST(TolerantLex, EscapedBytesOutsideUtf8StandForThemselves) {
  // A backslash before an invalid byte or before a multi-byte character: both are kept, and the
  // string still ends at its quote.
  const std::string input = "\"a\\\xFF\\\xF0\x9F\x98\x80\xC3\"b\"";
  const auto tokens = tolerant_lex(input, true);
  ASSERT_EQ(tokens.size(), 4u);  // the string, the word b, an open string, Eof
  EXPECT_EQ(tokens[0].text, "a\\\xFF\\\xF0\x9F\x98\x80\xC3");
  EXPECT_EQ(tokens[0].end, input.size() - 2);
  EXPECT_TRUE(tokens[0].closed);
  EXPECT_EQ(tokens[1].kind, K::Ident);
  EXPECT_EQ(tokens[2].kind, K::Str);
  EXPECT_FALSE(tokens[2].closed);
  EXPECT_EQ(count_tokens(input, true), 4u);
}

TEST(TolerantLex, NullCharacterEscape) {
  const auto tokens = tolerant_lex(R"("a\u0000b")", true);
  EXPECT_EQ(tokens[0].text, std::string("a\0b", 3));
}

TEST(TolerantLex, Words) {
  expect_tokens("NULL None undefined NaN _x1 TRUE False", true,
                {{K::Literal, "null", 0, 4},
                 {K::Ident, "None", 5, 9},
                 {K::Ident, "undefined", 10, 19},
                 {K::Ident, "NaN", 20, 23},
                 {K::Ident, "_x1", 24, 27},
                 {K::Literal, "true", 28, 32},
                 {K::Literal, "false", 33, 38}});
  expect_tokens("nulls truex", true, {{K::Ident, "nulls", 0, 5}, {K::Ident, "truex", 6, 11}});
}

TEST(TolerantLex, Numbers) {
  expect_tokens("1.5e-3", true, {{K::Number, "1.5e-3", 0, 6}});
  expect_tokens("1.5.2", true, {{K::Number, "1.5", 0, 3}, {K::Garbage, ".2", 3, 5}});
  expect_tokens("--5", true, {{K::Number, "-", 0, 1}, {K::Number, "-5", 1, 3}});
  expect_tokens("- 1. 1e 1e+", true,
                {{K::Number, "-", 0, 1},
                 {K::Number, "1.", 2, 4},
                 {K::Number, "1e", 5, 7},
                 {K::Number, "1e+", 8, 11}});
  expect_tokens("1.", true, {{K::Number, "1.", 0, 2}});
  expect_tokens("12abc", true, {{K::Number, "12", 0, 2}, {K::Ident, "abc", 2, 5}});
  expect_tokens("1E+10,", true, {{K::Number, "1E+10", 0, 5}, {K::Punct, ",", 5, 6}});
}

TEST(TolerantLex, GarbageRuns) {
  expect_tokens("$$$ ...", true, {{K::Garbage, "$$$", 0, 3}, {K::Garbage, "...", 4, 7}});
  expect_tokens("abc$def", true, {{K::Ident, "abc", 0, 3}, {K::Garbage, "$def", 3, 7}});
  // Letters, digits, minus signs and non-ASCII characters do not end a run; delimiters do.
  expect_tokens("+1-x\xC3\xA9:", true, {{K::Garbage, "+1-x\xC3\xA9", 0, 6}, {K::Punct, ":", 6, 7}});
  // Form feed and vertical tab are not white space.
  expect_tokens("\f\v ", true, {{K::Garbage, "\f\v", 0, 2}});
  expect_tokens(
      "\xE2\x80\x9C"
      "a",
      true,
      {{K::Garbage,
        "\xE2\x80\x9C"
        "a",
        0, 4}});
}

TEST(TolerantLex, PunctuationAndWhiteSpace) {
  expect_tokens(" {\t}\r\n[ ] : , ", true,
                {{K::Punct, "{", 1, 2},
                 {K::Punct, "}", 3, 4},
                 {K::Punct, "[", 6, 7},
                 {K::Punct, "]", 8, 9},
                 {K::Punct, ":", 10, 11},
                 {K::Punct, ",", 12, 13}});
}

// Every byte is either white space or inside exactly one token, tokens come in order, and the
// scanner, the counter and the whole-stream lexer agree.
TEST(TolerantLex, TokensTileTheInputOnRandomBytes) {
  std::mt19937 rng(7);
  const std::string alphabet = "{}[]:,\"'\\ \t\nab_1-.eE+u0$\xC3\xA9";
  for (int round = 0; round < 2000; ++round) {
    std::string input;
    const int len = static_cast<int>(rng() % 40);
    for (int i = 0; i < len; ++i) {
      if (rng() % 8 == 0) {
        input.push_back(static_cast<char>(rng() % 256));
      } else {
        input.push_back(alphabet[rng() % alphabet.size()]);
      }
    }
    for (bool single : {true, false}) {
      const auto tokens = tolerant_lex(input, single);
      ASSERT_EQ(count_tokens(input, single), tokens.size());
      std::size_t covered = 0;
      for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
        const Token& t = tokens[i];
        ASSERT_LE(covered, t.start);
        for (std::size_t k = covered; k < t.start; ++k) {
          const char c = input[k];
          ASSERT_TRUE(c == ' ' || c == '\t' || c == '\n' || c == '\r');
        }
        ASSERT_LT(t.start, t.end);
        ASSERT_LE(t.end, input.size());
        if (t.kind != TokenKind::Str && t.kind != TokenKind::Literal) {
          ASSERT_EQ(t.text, input.substr(t.start, t.end - t.start));
        }
        covered = t.end;
      }
      ASSERT_EQ(tokens.back().kind, TokenKind::Eof);
    }
  }
}

}  // namespace
}  // namespace velvin
