// The strict parser as a template over its consumer: one pass over valid UTF-8 text that reports
// each value to a sink as an event (see JsonSink in json.hpp for the events and their order).
// Instantiated by json.cpp for the value tree and for the virtual JsonSink, and by the Python
// binding for the sink that builds Python objects in the same pass, so that each sink's calls
// resolve statically. A sink need not derive from JsonSink; it needs its event members.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "core/scan.hpp"

namespace velvin {
namespace strict_detail {

using scan::find_string_stop;
using scan::is_digit;

inline double parse_double(std::string_view number) noexcept {
  double value = 0.0;
  auto res = std::from_chars(number.data(), number.data() + number.size(), value);
  if (res.ec == std::errc()) return value;
  return out_of_range_double(number);
}

// Recursive descent over one document, reporting values to a sink.
template <typename Sink>
class StrictParser {
 public:
  StrictParser(std::string_view text, Sink& sink) : text_(text), sink_(sink) {}

  SinkParseStatus run(JsonError& error) {
    skip_space();
    bool ok = parse_value();
    if (ok) {
      skip_space();
      if (pos_ != text_.size()) ok = fail("trailing characters", pos_);
    }
    if (ok) return SinkParseStatus::ok;
    if (stopped_) return SinkParseStatus::stopped;
    error = std::move(error_);
    return SinkParseStatus::invalid;
  }

 private:
  bool at_end() const noexcept { return pos_ >= text_.size(); }
  unsigned char peek() const noexcept { return static_cast<unsigned char>(text_[pos_]); }

  void skip_space() noexcept { pos_ = scan::skip_space(text_, pos_); }

  [[gnu::cold]] bool fail(std::string message, std::size_t position,
                          ErrorCode code = ErrorCode::invalid_json) {
    error_ = JsonError{code, position, std::move(message)};
    return false;
  }

  bool emitted(bool accepted) {
    if (!accepted) stopped_ = true;
    return accepted;
  }

  bool parse_value() {
    if (at_end()) return fail("unexpected EOF", pos_);
    const unsigned char c = peek();
    switch (c) {
      case '"': {
        std::string_view s;
        if (!parse_string(s)) return false;
        return emitted(sink_.on_string(s));
      }
      case 't':
        if (!parse_literal("true")) return false;
        return emitted(sink_.on_bool(true));
      case 'f':
        if (!parse_literal("false")) return false;
        return emitted(sink_.on_bool(false));
      case 'n':
        if (!parse_literal("null")) return false;
        return emitted(sink_.on_null());
      case '[':
        return parse_array();
      case '{':
        return parse_object();
      default:
        if (c == '-' || is_digit(c)) return parse_number();
        return fail("unexpected byte: " + std::to_string(c), pos_);
    }
  }

  bool parse_literal(std::string_view word) {
    const std::size_t start = pos_;
    if (text_.size() - pos_ < word.size()) return fail("unexpected EOF", start);
    if (text_.compare(pos_, word.size(), word) != 0) return fail("invalid literal", start);
    pos_ += word.size();
    return true;
  }

  bool enter_container() {
    if (depth_ >= kMaxNestingDepth) return fail("nesting too deep", pos_, ErrorCode::nesting_too_deep);
    ++depth_;
    return true;
  }

  enum class Next { more, done, failed };

  // After an element or member: a comma asks for another, the closer ends the container.
  Next after_item(unsigned char closer, const char* expected) {
    skip_space();
    if (at_end()) {
      fail("unexpected EOF", pos_);
      return Next::failed;
    }
    const unsigned char c = peek();
    if (c == ',' || c == closer) {
      ++pos_;
      return c == ',' ? Next::more : Next::done;
    }
    fail(expected, pos_);
    return Next::failed;
  }

  bool parse_array() {
    if (!enter_container()) return false;
    ++pos_;
    skip_space();
    std::size_t count = 0;
    if (!at_end() && peek() == ']') {
      ++pos_;
    } else {
      Next next = Next::more;
      while (next == Next::more) {
        skip_space();
        if (!parse_value()) return false;
        ++count;
        next = after_item(']', "expected ',' or ']'");
      }
      if (next == Next::failed) return false;
    }
    --depth_;
    return emitted(sink_.on_array_end(count));
  }

  bool parse_object() {
    if (!enter_container()) return false;
    ++pos_;
    skip_space();
    std::size_t count = 0;
    if (!at_end() && peek() == '}') {
      ++pos_;
    } else {
      Next next = Next::more;
      while (next == Next::more) {
        skip_space();
        if (at_end() || peek() != '"') return fail("expected object key string", pos_);
        if (!parse_key()) return false;
        skip_space();
        if (at_end() || peek() != ':') return fail("expected ':'", pos_);
        ++pos_;
        skip_space();
        if (!parse_value()) return false;
        ++count;
        next = after_item('}', "expected ',' or '}'");
      }
      if (next == Next::failed) return false;
    }
    --depth_;
    return emitted(sink_.on_object_end(count));
  }

  // The key at the cursor (an opening quote) to the sink. A sink that knows the keys to come
  // (known_key) may take one from the raw text, which then needs no decoding.
  bool parse_key() {
    if constexpr (requires(Sink& s, const char* p, std::size_t n, std::size_t& length) {
                    { s.known_key(p, n, length) } -> std::same_as<bool>;
                  }) {
      std::size_t length = 0;
      if (sink_.known_key(text_.data() + pos_ + 1, text_.size() - pos_ - 1, length)) {
        pos_ += length + 2;
        return true;
      }
    }
    std::string_view key;
    if (!parse_string(key)) return false;
    return emitted(sink_.on_key(key));
  }

  // Decodes the string at the cursor. The view points into the input when the string has no
  // escapes, otherwise into the scratch buffer (valid until the next call).
  bool parse_string(std::string_view& out) {
    const std::size_t quote = pos_;
    ++pos_;
    const std::size_t n = text_.size();
    const char* s = text_.data();
    std::size_t run = pos_;
    pos_ = find_string_stop(s, pos_, n);
    if (pos_ < n && s[pos_] == '"') {
      out = text_.substr(run, pos_ - run);
      ++pos_;
      return true;
    }
    scratch_.clear();
    for (;;) {
      scratch_.append(s + run, pos_ - run);
      if (pos_ >= n) return fail("unterminated string", quote);
      const auto c = static_cast<unsigned char>(s[pos_]);
      if (c == '"') {
        ++pos_;
        out = scratch_;
        return true;
      }
      if (c < 0x20) return fail("control character in string", pos_);
      if (!parse_escape()) return false;
      run = pos_;
      pos_ = find_string_stop(s, pos_, n);
    }
  }

  // The cursor is at a backslash; appends the escaped character to the scratch buffer.
  bool parse_escape() {
    const std::size_t b = pos_;
    if (b + 1 >= text_.size()) return fail("unexpected EOF in escape", b + 1);
    const auto e = static_cast<unsigned char>(text_[b + 1]);
    pos_ = b + 2;
    switch (e) {
      case '"': scratch_.push_back('"'); return true;
      case '\\': scratch_.push_back('\\'); return true;
      case '/': scratch_.push_back('/'); return true;
      case 'b': scratch_.push_back('\b'); return true;
      case 'f': scratch_.push_back('\f'); return true;
      case 'n': scratch_.push_back('\n'); return true;
      case 'r': scratch_.push_back('\r'); return true;
      case 't': scratch_.push_back('\t'); return true;
      case 'u': break;
      default: return fail("invalid escape", b + 1);
    }
    if (text_.size() - (b + 2) < 4) return fail("unexpected EOF in \\u escape", b + 2);
    const auto unit = parse_hex4(text_.substr(b + 2, 4));
    if (!unit) return fail("invalid \\u escape", b + 6);
    pos_ = b + 6;
    const char32_t u = *unit;
    if (u >= 0xD800 && u <= 0xDBFF) {
      // A high surrogate pairs only with an immediately following low-surrogate escape.
      if (text_.size() - pos_ >= 6 && text_[pos_] == '\\' && text_[pos_ + 1] == 'u') {
        const auto low = parse_hex4(text_.substr(pos_ + 2, 4));
        if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
          append_utf8(scratch_, 0x10000 + (u - 0xD800) * 0x400 + (*low - 0xDC00));
          pos_ += 6;
          return true;
        }
      }
      append_utf8(scratch_, 0xFFFD);
      return true;
    }
    append_utf8(scratch_, (u >= 0xDC00 && u <= 0xDFFF) ? char32_t{0xFFFD} : u);
    return true;
  }

  static std::optional<char32_t> parse_hex4(std::string_view four) noexcept {
    char32_t value = 0;
    for (char ch : four) {
      const int d = scan::hex_value(static_cast<unsigned char>(ch));
      if (d < 0) return std::nullopt;
      value = (value << 4) | static_cast<char32_t>(d);
    }
    return value;
  }

  void skip_digits() noexcept {
    while (pos_ < text_.size() && is_digit(peek())) ++pos_;
  }

  bool parse_number() {
    const std::size_t start = pos_;
    const char* s = text_.data();
    const bool negative = s[pos_] == '-';
    if (negative) ++pos_;
    if (at_end() || !is_digit(peek())) return fail("invalid number", start);
    const std::size_t digits_start = pos_;
    if (peek() == '0') {
      ++pos_;  // a leading zero ends the integer part
    } else {
      skip_digits();
    }
    const std::size_t digits_end = pos_;
    bool is_float = false;
    if (!at_end() && peek() == '.') {
      ++pos_;
      if (at_end() || !is_digit(peek())) return fail("invalid number", start);
      skip_digits();
      is_float = true;
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      ++pos_;
      if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
      if (at_end() || !is_digit(peek())) return fail("invalid number", start);
      skip_digits();
      is_float = true;
    }
    if (!is_float) {
      std::uint64_t magnitude = 0;
      auto res = std::from_chars(s + digits_start, s + digits_end, magnitude);
      if (res.ec == std::errc()) {
        constexpr std::uint64_t kMaxInt = std::numeric_limits<std::int64_t>::max();
        if (!negative) {
          return emitted(magnitude <= kMaxInt ? sink_.on_int(static_cast<std::int64_t>(magnitude))
                                              : sink_.on_uint(magnitude));
        }
        if (magnitude <= kMaxInt + 1) {
          // -(2^63) is representable although 2^63 is not.
          return emitted(sink_.on_int(magnitude == kMaxInt + 1
                                          ? std::numeric_limits<std::int64_t>::min()
                                          : -static_cast<std::int64_t>(magnitude)));
        }
      }
    }
    return emitted(sink_.on_float(parse_double(text_.substr(start, pos_ - start))));
  }

  std::string_view text_;
  Sink& sink_;
  std::string scratch_;
  std::size_t pos_ = 0;
  std::size_t depth_ = 0;
  bool stopped_ = false;
  JsonError error_;
};

}  // namespace strict_detail

// Parses `text` (valid UTF-8) and reports its values to `sink`. On `invalid`, `error` holds the
// parser's error; on `stopped`, a sink event returned false and the sink keeps its own reason.
template <typename Sink>
[[nodiscard]] SinkParseStatus parse_strict_with(std::string_view text, Sink& sink, JsonError& error) {
  return strict_detail::StrictParser<Sink>(text, sink).run(error);
}

}  // namespace velvin
