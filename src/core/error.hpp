// The core's one error vocabulary. Every failure a core operation returns is an Error: a code
// that callers decide on, the byte position it concerns, and the message users read (exactly as
// the system has always worded it). Result carries a value or an Error. Errors are values: no
// core call throws them or logs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace velvin {

enum class ErrorCode : std::uint8_t {
  invalid_json,          // the text breaks the JSON grammar (strict parser, tape parser)
  nesting_too_deep,      // containers nested deeper than kMaxNestingDepth
  invalid_utf8,          // the bytes are not well-formed UTF-8
  incomplete_utf8,       // the bytes end inside a character (more bytes may complete it)
  not_a_container,       // a container scan was handed a span without its brackets
  tape_window_overflow,  // a piece wrote more tape entries than its window holds
  entry_count_mismatch,  // a lexical entry count disagreed with the parse
  thread_start_failed,   // a worker thread could not be started: abandons the whole operation
  worker_failed,         // a worker thread ended by an exception, or left no result
  invalid_patch,         // a language-model patch operation is unusable
  command_failed,        // the language-model command could not run, or failed
  command_timeout,       // the language-model command ran out of time
  repair_limit_exceeded,  // a document needs more repairs than max_total_repairs allows
};

struct Error {
  ErrorCode code = ErrorCode::invalid_json;
  std::uint64_t position = 0;  // byte offset the error concerns; 0 when none
  std::string message;
  friend bool operator==(const Error&, const Error&) = default;
};

// `inner` as a stage reports it after running the step that failed: the same code and position,
// the message `prefix` + inner's message ("invalid utf-8: " + ...).
[[nodiscard]] inline Error prefixed(std::string_view prefix, Error inner) {
  inner.message.insert(0, prefix);
  return inner;
}

// The same with the position spelled out: `prefix` + message + " at " + position
// ("tape parse failed: unexpected EOF at 12").
[[nodiscard]] inline Error prefixed_at(std::string_view prefix, Error inner) {
  inner.message.insert(0, prefix);
  inner.message.append(" at ").append(std::to_string(inner.position));
  return inner;
}

// Either a value or the first error, never both. When both sides have the same type the
// implicit conversions would be ambiguous, so only the named constructors success() and
// failure() exist.
template <typename T, typename E = Error>
class Result {
  static constexpr bool kDistinct = !std::is_same_v<T, E>;

 public:
  template <typename U = T>
    requires kDistinct
  Result(std::type_identity_t<U> value)  // NOLINT: implicit
      : data_(std::in_place_index<0>, std::move(value)) {}
  template <typename U = E, typename = void>
    requires kDistinct
  Result(std::type_identity_t<U> error)  // NOLINT: implicit
      : data_(std::in_place_index<1>, std::move(error)) {}
  [[nodiscard]] static Result success(T value) {
    return Result(std::in_place_index<0>, std::move(value));
  }
  [[nodiscard]] static Result failure(E error) {
    return Result(std::in_place_index<1>, std::move(error));
  }
  [[nodiscard]] bool ok() const noexcept { return data_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  [[nodiscard]] T& value() & { return std::get<0>(data_); }
  [[nodiscard]] const T& value() const& { return std::get<0>(data_); }
  [[nodiscard]] T&& value() && { return std::get<0>(std::move(data_)); }
  [[nodiscard]] E& error() & { return std::get<1>(data_); }
  [[nodiscard]] const E& error() const& { return std::get<1>(data_); }
  [[nodiscard]] E&& error() && { return std::get<1>(std::move(data_)); }

 private:
  template <std::size_t I, typename V>
  Result(std::in_place_index_t<I> side, V&& v) : data_(side, std::forward<V>(v)) {}
  std::variant<T, E> data_;
};

}  // namespace velvin
