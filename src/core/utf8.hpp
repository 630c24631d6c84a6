// UTF-8 for every stage: validation that reports where the first fault lies, lossy decoding
// (each maximal invalid subpart becomes U+FFFD), encoding and decoding of single characters,
// Unicode white space and trimming, and ASCII case folding. Runs of ASCII are passed sixteen
// bytes at a time by the scanning layer. Pure functions.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/error.hpp"

namespace velvin {

// Nothing for well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF). Otherwise an
// error at the offset of the first fault (all bytes before it are valid): invalid_utf8 with the
// message "invalid utf-8 sequence of N bytes from index I" (a maximal invalid subpart of N
// bytes), or incomplete_utf8 with "incomplete utf-8 byte sequence from index I" (the text ends
// inside a character).
[[nodiscard]] std::optional<Error> validate_utf8(std::string_view bytes);
[[nodiscard]] bool is_valid_utf8(std::string_view bytes) noexcept;

// Replaces every maximal invalid subpart with U+FFFD (the Unicode Standard's recommendation);
// valid text is copied unchanged.
[[nodiscard]] std::string decode_utf8_lossy(std::string_view bytes);

// Appends the UTF-8 form of a Unicode scalar value.
void append_utf8(std::string& out, char32_t code_point);

// Decodes the character at `pos` of valid UTF-8 text; returns the code point and its length.
// Invalid bytes decode as themselves with length 1.
[[nodiscard]] std::pair<char32_t, std::size_t> decode_utf8_at(std::string_view text,
                                                              std::size_t pos) noexcept;

// A byte that continues a multi-byte character (10xxxxxx).
[[nodiscard]] constexpr bool is_utf8_continuation(char c) noexcept {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The Unicode White_Space property.
[[nodiscard]] bool is_unicode_space(char32_t c) noexcept;

// `text` without leading and trailing Unicode white space.
[[nodiscard]] std::string_view trim_unicode_space(std::string_view text) noexcept;

// ASCII-only lower-casing (A-Z), byte for byte.
[[nodiscard]] std::string ascii_lower(std::string_view text);

}  // namespace velvin
