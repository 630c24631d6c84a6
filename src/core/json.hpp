// The JSON core: the value tree every stage builds and reads, its compact serializer, and the
// strict parser that decides what counts as valid JSON everywhere. Everything here is pure: no
// I/O, no global state, no exceptions on bad input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/utf8.hpp"  // the strict parser's input is valid UTF-8: callers check it with this

namespace velvin {

// Deepest container nesting the parsers accept. Every producer of values is bounded by it, so
// the recursive serializer, clone, destruction and Python conversion stay far from the end of
// any thread's stack (a 1024-deep walk needs well under 1 MiB).
inline constexpr std::size_t kMaxNestingDepth = 1024;

enum class JsonKind : std::uint8_t { Null, Bool, Int, UInt, Float, String, Array, Object };

class JsonValue;
struct JsonMember;
using JsonArray = std::vector<JsonValue>;
using JsonObject = std::vector<JsonMember>;

// A tagged union in 16 bytes. Strings, arrays and objects live on the heap and are owned
// exclusively: copying is a deep copy, destroying releases the whole tree.
class JsonValue {
 public:
  JsonValue() noexcept : kind_(JsonKind::Null), u_{} {}
  static JsonValue null() noexcept { return JsonValue(); }
  static JsonValue boolean(bool b) noexcept;
  static JsonValue integer(std::int64_t i) noexcept;
  static JsonValue uinteger(std::uint64_t u) noexcept;
  static JsonValue number(double f) noexcept;
  static JsonValue string(std::string_view s);
  static JsonValue array(JsonArray items);
  static JsonValue object(JsonObject members);

  JsonValue(const JsonValue& other);
  JsonValue(JsonValue&& other) noexcept : kind_(other.kind_), u_(other.u_) {
    other.kind_ = JsonKind::Null;
  }
  JsonValue& operator=(const JsonValue& other);
  JsonValue& operator=(JsonValue&& other) noexcept;
  ~JsonValue() { release(); }

  [[nodiscard]] JsonValue clone() const { return JsonValue(*this); }

  [[nodiscard]] JsonKind kind() const noexcept { return kind_; }
  [[nodiscard]] bool is_null() const noexcept { return kind_ == JsonKind::Null; }
  [[nodiscard]] bool is_bool() const noexcept { return kind_ == JsonKind::Bool; }
  [[nodiscard]] bool is_int() const noexcept { return kind_ == JsonKind::Int; }
  [[nodiscard]] bool is_uint() const noexcept { return kind_ == JsonKind::UInt; }
  [[nodiscard]] bool is_float() const noexcept { return kind_ == JsonKind::Float; }
  [[nodiscard]] bool is_string() const noexcept { return kind_ == JsonKind::String; }
  [[nodiscard]] bool is_array() const noexcept { return kind_ == JsonKind::Array; }
  [[nodiscard]] bool is_object() const noexcept { return kind_ == JsonKind::Object; }

  // Accessors require the matching kind.
  [[nodiscard]] bool as_bool() const noexcept { return u_.b; }
  [[nodiscard]] std::int64_t as_int() const noexcept { return u_.i; }
  [[nodiscard]] std::uint64_t as_uint() const noexcept { return u_.u; }
  [[nodiscard]] double as_float() const noexcept { return u_.f; }
  [[nodiscard]] std::string_view as_string() const noexcept;
  [[nodiscard]] const JsonArray& as_array() const noexcept { return *u_.a; }
  [[nodiscard]] JsonArray& as_array() noexcept { return *u_.a; }
  [[nodiscard]] const JsonObject& as_object() const noexcept { return *u_.o; }
  [[nodiscard]] JsonObject& as_object() noexcept { return *u_.o; }

  // First member with this key, or nullptr (also when this is not an object).
  [[nodiscard]] const JsonValue* find(std::string_view key) const noexcept;

  // Deep, exact equality: same kinds (Int 1 differs from Float 1.0), same order, same bytes.
  // Floats compare by bit pattern so NaN equals itself and -0.0 differs from 0.0.
  friend bool operator==(const JsonValue& a, const JsonValue& b) noexcept;

 private:
  // A string payload: its byte length followed by the bytes, in one allocation.
  struct StringBox;
  void release() noexcept;

  JsonKind kind_;
  union Payload {
    bool b;
    std::int64_t i;
    std::uint64_t u;
    double f;
    StringBox* s;
    JsonArray* a;
    JsonObject* o;
  } u_;
};

struct JsonMember {
  std::string key;
  JsonValue value;
  friend bool operator==(const JsonMember& a, const JsonMember& b) noexcept {
    return a.key == b.key && a.value == b.value;
  }
};

// A strict-parse failure: one of the fixed messages (code invalid_json, or nesting_too_deep)
// and the byte offset it concerns.
using JsonError = Error;

using JsonResult = Result<JsonValue, JsonError>;

// Compact JSON text: no white space, floats in shortest plain positional form with ".0" when
// they would otherwise read as integers, NaN and infinities as null.
[[nodiscard]] std::string to_compact_string(const JsonValue& value);
// The same, reserving `expected_size` bytes first (e.g. the size of the text the value was
// parsed from), which spares the regrowth of a large output.
[[nodiscard]] std::string to_compact_string(const JsonValue& value, std::size_t expected_size);
void append_compact(std::string& out, const JsonValue& value);

// `text` as a JSON string literal; only '"', '\\' and control characters are escaped.
[[nodiscard]] std::string quote_json_string(std::string_view text);
void append_quoted(std::string& out, std::string_view text);

// The value of a JSON number text that from_chars reports out of range: an infinity when it is
// too large, a zero when too small, with the number's sign.
[[nodiscard]] double out_of_range_double(std::string_view number) noexcept;

// The strict parser. `text` must be valid UTF-8 (callers validate); every malformed document is
// reported as a JsonError, including nesting deeper than kMaxNestingDepth ("nesting too deep",
// at the bracket that opens one level too many).
[[nodiscard]] JsonResult parse_strict_json(std::string_view text);

// The same parser delivering the document as events instead of a tree, for consumers that build
// their own objects (the Python binding). Views passed to on_string and on_key are valid only
// during the call. A container's end event carries its number of elements or members; the
// members of an object arrive as key, value, key, value. An event returning false stops the
// parse; the sink keeps its own reason.
class JsonSink {
 public:
  virtual ~JsonSink() = default;
  virtual bool on_null() = 0;
  virtual bool on_bool(bool value) = 0;
  virtual bool on_int(std::int64_t value) = 0;
  virtual bool on_uint(std::uint64_t value) = 0;
  virtual bool on_float(double value) = 0;
  virtual bool on_string(std::string_view value) = 0;
  virtual bool on_key(std::string_view key) = 0;
  virtual bool on_array_end(std::size_t count) = 0;
  virtual bool on_object_end(std::size_t count) = 0;
};

enum class SinkParseStatus { ok, invalid, stopped };

// On `invalid`, `error` holds the parser's error; on `stopped`, a sink event returned false.
[[nodiscard]] SinkParseStatus parse_strict_events(std::string_view text, JsonSink& sink,
                                                  JsonError& error);

}  // namespace velvin
