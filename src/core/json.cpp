#include "core/json.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "core/scan.hpp"

namespace velvin {

// ---------------------------------------------------------------------------------------------
// JsonValue

struct JsonValue::StringBox {
  std::size_t size;
  char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
  const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }

  static StringBox* make(std::string_view s) {
    void* memory = ::operator new(sizeof(StringBox) + s.size());
    auto* box = new (memory) StringBox{s.size()};
    if (!s.empty()) std::memcpy(box->data(), s.data(), s.size());
    return box;
  }
  static void destroy(StringBox* box) noexcept { ::operator delete(box); }
};

JsonValue JsonValue::boolean(bool b) noexcept {
  JsonValue v;
  v.kind_ = JsonKind::Bool;
  v.u_.b = b;
  return v;
}

JsonValue JsonValue::integer(std::int64_t i) noexcept {
  JsonValue v;
  v.kind_ = JsonKind::Int;
  v.u_.i = i;
  return v;
}

JsonValue JsonValue::uinteger(std::uint64_t u) noexcept {
  JsonValue v;
  v.kind_ = JsonKind::UInt;
  v.u_.u = u;
  return v;
}

JsonValue JsonValue::number(double f) noexcept {
  JsonValue v;
  v.kind_ = JsonKind::Float;
  v.u_.f = f;
  return v;
}

JsonValue JsonValue::string(std::string_view s) {
  JsonValue v;
  v.u_.s = StringBox::make(s);
  v.kind_ = JsonKind::String;
  return v;
}

JsonValue JsonValue::array(JsonArray items) {
  JsonValue v;
  v.u_.a = new JsonArray(std::move(items));
  v.kind_ = JsonKind::Array;
  return v;
}

JsonValue JsonValue::object(JsonObject members) {
  JsonValue v;
  v.u_.o = new JsonObject(std::move(members));
  v.kind_ = JsonKind::Object;
  return v;
}

JsonValue::JsonValue(const JsonValue& other) : kind_(JsonKind::Null), u_{} {
  switch (other.kind_) {
    case JsonKind::String:
      u_.s = StringBox::make(other.as_string());
      break;
    case JsonKind::Array:
      u_.a = new JsonArray(*other.u_.a);
      break;
    case JsonKind::Object:
      u_.o = new JsonObject(*other.u_.o);
      break;
    default:
      u_ = other.u_;
      break;
  }
  kind_ = other.kind_;
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
  if (this != &other) *this = JsonValue(other);
  return *this;
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this != &other) {
    release();
    kind_ = other.kind_;
    u_ = other.u_;
    other.kind_ = JsonKind::Null;
  }
  return *this;
}

void JsonValue::release() noexcept {
  switch (kind_) {
    case JsonKind::String:
      StringBox::destroy(u_.s);
      break;
    case JsonKind::Array:
      delete u_.a;
      break;
    case JsonKind::Object:
      delete u_.o;
      break;
    default:
      break;
  }
  kind_ = JsonKind::Null;
}

std::string_view JsonValue::as_string() const noexcept {
  return {u_.s->data(), u_.s->size};
}

const JsonValue* JsonValue::find(std::string_view key) const noexcept {
  if (kind_ != JsonKind::Object) return nullptr;
  for (const JsonMember& m : *u_.o) {
    if (m.key == key) return &m.value;
  }
  return nullptr;
}

bool operator==(const JsonValue& a, const JsonValue& b) noexcept {
  if (a.kind_ != b.kind_) return false;
  switch (a.kind_) {
    case JsonKind::Null:
      return true;
    case JsonKind::Bool:
      return a.u_.b == b.u_.b;
    case JsonKind::Int:
      return a.u_.i == b.u_.i;
    case JsonKind::UInt:
      return a.u_.u == b.u_.u;
    case JsonKind::Float:
      return std::bit_cast<std::uint64_t>(a.u_.f) == std::bit_cast<std::uint64_t>(b.u_.f);
    case JsonKind::String:
      return a.as_string() == b.as_string();
    case JsonKind::Array:
      return *a.u_.a == *b.u_.a;
    case JsonKind::Object:
      return *a.u_.o == *b.u_.o;
  }
  return false;
}

// ---------------------------------------------------------------------------------------------
// Serializer

namespace {

// 0 = copy as is, 1 = short escape, 2 = \u00XX escape.
constexpr std::array<std::uint8_t, 256> make_escape_table() {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 2;
  for (char c : {'\n', '\r', '\t', '\b', '\f'}) t[static_cast<unsigned char>(c)] = 1;
  t['"'] = 1;
  t['\\'] = 1;
  return t;
}
constexpr auto kEscape = make_escape_table();

char short_escape_letter(unsigned char c) {
  switch (c) {
    case '\n': return 'n';
    case '\r': return 'r';
    case '\t': return 't';
    case '\b': return 'b';
    case '\f': return 'f';
    default: return static_cast<char>(c);  // '"' and '\\' escape as themselves
  }
}

}  // namespace

namespace {

// Longest positional text of a finite double: 5e-324 needs 327 characters, 1e308 309 digits.
constexpr std::size_t kDoubleTextMax = 400;

// Digits of a plain number text from its first non-zero digit on. A double never needs more
// than 17 to read back; a plain text with more is the exact binary value of a large integer
// (2^64 as 18446744073709551616), which must be written 18446744073709552000 instead.
std::size_t significant_digits(const char* first, const char* last) {
  std::size_t count = 0;
  bool leading = true;
  for (const char* p = first; p != last; ++p) {
    if (*p < '0' || *p > '9') continue;
    if (leading && *p == '0') continue;
    leading = false;
    ++count;
  }
  return count;
}

// Writes the shortest text that reads back as `value`, in positional notation; returns its end.
char* write_shortest_double(double value, char* out) {
  // The plain shortest form is already positional for most values. Otherwise the shortest
  // round-trip digits come from the scientific form and are laid out positionally. (The fixed
  // form of to_chars may print more digits than needed, e.g. the exact expansion of 1e300,
  // which ties in length with 1 and 300 zeros.)
  auto plain = std::to_chars(out, out + 32, value);
  if (std::find(out, plain.ptr, 'e') == plain.ptr && significant_digits(out, plain.ptr) <= 17) {
    return plain.ptr;
  }
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  const std::size_t e = sci.find('e');
  std::string_view mantissa = sci.substr(0, e);
  if (!mantissa.empty() && mantissa.front() == '-') {
    *out++ = '-';
    mantissa.remove_prefix(1);
  }
  char digits[24];
  std::size_t n = 0;
  for (char c : mantissa) {
    if (c != '.') digits[n++] = c;
  }
  int exponent = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                  exponent);
  if (exponent < 0) {
    *out++ = '0';
    *out++ = '.';
    out = std::fill_n(out, -exponent - 1, '0');
    return std::copy_n(digits, n, out);
  }
  const auto int_digits = static_cast<std::size_t>(exponent) + 1;
  if (n <= int_digits) {
    out = std::copy_n(digits, n, out);
    return std::fill_n(out, int_digits - n, '0');
  }
  out = std::copy_n(digits, int_digits, out);
  *out++ = '.';
  return std::copy_n(digits + int_digits, n - int_digits, out);
}


// Appends to a string through a raw cursor: the string grows geometrically and is cut to the
// written length when the writer goes away, so small pieces cost a bounds check and a copy.
class TextWriter {
 public:
  explicit TextWriter(std::string& out) : out_(out), start_(out.size()), len_(out.size()) {}
  TextWriter(const TextWriter&) = delete;
  TextWriter& operator=(const TextWriter&) = delete;
  ~TextWriter() { out_.resize(len_); }

  // Room for n more bytes; commit(k) then accounts for the k actually written. The slack grows
  // with what this writer has written, not with the string it appends to: many short appends
  // to one long string must not each zero-fill a copy-sized tail.
  char* room(std::size_t n) {
    if (len_ + n > out_.size()) {
      const std::size_t want = len_ + n + std::max<std::size_t>(256, len_ - start_);
      if (want > out_.capacity()) out_.reserve(std::max(want, out_.capacity() * 2));
      out_.resize(want);
    }
    return out_.data() + len_;
  }
  void commit(std::size_t k) { len_ += k; }
  void put(char c) {
    *room(1) = c;
    ++len_;
  }
  void put(std::string_view s) {
    std::memcpy(room(s.size()), s.data(), s.size());
    len_ += s.size();
  }

 private:
  std::string& out_;
  std::size_t start_;
  std::size_t len_;
};

void write_quoted(TextWriter& w, std::string_view text) {
  w.put('"');
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* run = p;
    // The bytes that need escaping are exactly those that end a plain run in the parser.
    p = run + scan::find_string_stop(run, 0, static_cast<std::size_t>(end - run));
    w.put(std::string_view(run, static_cast<std::size_t>(p - run)));
    if (p == end) break;
    const auto c = static_cast<unsigned char>(*p++);
    if (kEscape[c] == 1) {
      const char esc[2] = {'\\', short_escape_letter(c)};
      w.put(std::string_view(esc, 2));
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
      w.put(std::string_view(esc, 6));
    }
  }
  w.put('"');
}

template <typename Int>
void write_integer(TextWriter& w, Int v) {
  char* at = w.room(24);
  w.commit(static_cast<std::size_t>(std::to_chars(at, at + 24, v).ptr - at));
}

void write_float(TextWriter& w, double f) {
  if (!std::isfinite(f)) {
    w.put("null");
    return;
  }
  char* at = w.room(kDoubleTextMax + 2);
  char* end = write_shortest_double(f, at);
  // Integral values get ".0" so that they read back as floats.
  if (std::find(at, end, '.') == end) {
    *end++ = '.';
    *end++ = '0';
  }
  w.commit(static_cast<std::size_t>(end - at));
}

void write_compact(TextWriter& w, const JsonValue& value) {
  switch (value.kind()) {
    case JsonKind::Null:
      w.put("null");
      return;
    case JsonKind::Bool:
      w.put(value.as_bool() ? std::string_view("true") : std::string_view("false"));
      return;
    case JsonKind::Int:
      write_integer(w, value.as_int());
      return;
    case JsonKind::UInt:
      write_integer(w, value.as_uint());
      return;
    case JsonKind::Float:
      write_float(w, value.as_float());
      return;
    case JsonKind::String:
      write_quoted(w, value.as_string());
      return;
    case JsonKind::Array: {
      w.put('[');
      bool first = true;
      for (const JsonValue& item : value.as_array()) {
        if (!first) w.put(',');
        first = false;
        write_compact(w, item);
      }
      w.put(']');
      return;
    }
    case JsonKind::Object: {
      w.put('{');
      bool first = true;
      for (const JsonMember& m : value.as_object()) {
        if (!first) w.put(',');
        first = false;
        write_quoted(w, m.key);
        w.put(':');
        write_compact(w, m.value);
      }
      w.put('}');
      return;
    }
  }
}

}  // namespace

void append_compact(std::string& out, const JsonValue& value) {
  TextWriter w(out);
  write_compact(w, value);
}

void append_quoted(std::string& out, std::string_view text) {
  TextWriter w(out);
  write_quoted(w, text);
}

std::string quote_json_string(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

std::string to_compact_string(const JsonValue& value) {
  std::string out;
  append_compact(out, value);
  return out;
}

std::string to_compact_string(const JsonValue& value, std::size_t expected_size) {
  std::string out;
  out.reserve(expected_size);
  append_compact(out, value);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Strict parser

namespace {

using scan::find_string_stop;
using scan::is_digit;

double parse_double(std::string_view number) noexcept {
  double value = 0.0;
  auto res = std::from_chars(number.data(), number.data() + number.size(), value);
  if (res.ec == std::errc()) return value;
  return out_of_range_double(number);
}

// Recursive descent over one document, reporting values to a sink. Instantiated for the tree
// builder (calls resolve statically) and for the abstract JsonSink (virtual calls).
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
        std::string_view key;
        if (!parse_string(key)) return false;
        if (!emitted(sink_.on_key(key))) return false;
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

// Builds the JsonValue tree: finished values wait on one stack (and keys on another) until
// their container ends, then move into an exactly sized array or object.
class TreeBuilder final {
 public:
  bool on_null() {
    values_.emplace_back();
    return true;
  }
  bool on_bool(bool v) {
    values_.push_back(JsonValue::boolean(v));
    return true;
  }
  bool on_int(std::int64_t v) {
    values_.push_back(JsonValue::integer(v));
    return true;
  }
  bool on_uint(std::uint64_t v) {
    values_.push_back(JsonValue::uinteger(v));
    return true;
  }
  bool on_float(double v) {
    values_.push_back(JsonValue::number(v));
    return true;
  }
  bool on_string(std::string_view v) {
    values_.push_back(JsonValue::string(v));
    return true;
  }
  bool on_key(std::string_view key) {
    keys_.emplace_back(key);
    return true;
  }
  bool on_array_end(std::size_t count) {
    const auto first = values_.end() - static_cast<std::ptrdiff_t>(count);
    JsonArray items(std::make_move_iterator(first), std::make_move_iterator(values_.end()));
    values_.erase(first, values_.end());
    values_.push_back(JsonValue::array(std::move(items)));
    return true;
  }
  bool on_object_end(std::size_t count) {
    const std::size_t key_base = keys_.size() - count;
    const std::size_t value_base = values_.size() - count;
    JsonObject members;
    members.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      members.push_back(JsonMember{std::move(keys_[key_base + i]), std::move(values_[value_base + i])});
    }
    keys_.resize(key_base);
    values_.resize(value_base);
    values_.push_back(JsonValue::object(std::move(members)));
    return true;
  }
  JsonValue take() { return std::move(values_.back()); }

 private:
  std::vector<JsonValue> values_;
  std::vector<std::string> keys_;
};

}  // namespace

JsonResult parse_strict_json(std::string_view text) {
  TreeBuilder builder;
  JsonError error;
  if (StrictParser<TreeBuilder>(text, builder).run(error) != SinkParseStatus::ok) return error;
  return builder.take();
}

SinkParseStatus parse_strict_events(std::string_view text, JsonSink& sink, JsonError& error) {
  return StrictParser<JsonSink>(text, sink).run(error);
}


// Correctly rounded, from_chars would give an infinity or a zero of the number's sign, but it
// reports both as out_of_range without a value: the decimal exponent of the first significant
// digit tells which.
double out_of_range_double(std::string_view text) noexcept {
  const bool negative = !text.empty() && text.front() == '-';
  std::int64_t exponent = 0;
  const std::size_t e = text.find_first_of("eE");
  if (e != std::string_view::npos) {
    std::size_t k = e + 1;
    bool neg_exp = false;
    if (k < text.size() && (text[k] == '+' || text[k] == '-')) neg_exp = text[k++] == '-';
    for (; k < text.size(); ++k) {
      exponent = std::min<std::int64_t>(exponent * 10 + (text[k] - '0'), 1'000'000'000);
    }
    if (neg_exp) exponent = -exponent;
  }
  std::int64_t lead = 0;  // decimal exponent + 1 of the first significant digit
  bool after_point = false, found = false;
  std::int64_t fraction_digits = 0;
  for (char ch : text.substr(0, e)) {
    if (ch == '-') continue;
    if (ch == '.') {
      after_point = true;
      continue;
    }
    if (!after_point) {
      if (found || ch != '0') {
        found = true;
        ++lead;
      }
    } else {
      ++fraction_digits;
      if (!found && ch != '0') {
        found = true;
        lead = 1 - fraction_digits;
      }
    }
  }
  double magnitude = 0.0;
  if (found && exponent + lead > 0) magnitude = std::numeric_limits<double>::infinity();
  return negative ? -magnitude : magnitude;
}

}  // namespace velvin
