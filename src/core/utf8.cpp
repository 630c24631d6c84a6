#include "core/utf8.hpp"

#include "core/scan.hpp"

namespace velvin {

namespace {

// One decoding step at `i`: either a valid character of `len` bytes, or an invalid maximal
// subpart of `len` bytes (`incomplete` when the text ended inside a sequence that was valid so
// far).
struct Utf8Step {
  char32_t cp;
  std::size_t len;
  bool ok;
  bool incomplete;
};

Utf8Step utf8_step(const unsigned char* s, std::size_t n, std::size_t i) noexcept {
  const unsigned char b0 = s[i];
  if (b0 < 0x80) return {b0, 1, true, false};
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the first continuation byte
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return {0, 1, false, false};
  }
  std::size_t len = 1;
  for (std::size_t k = 0; k < need; ++k) {
    if (i + len >= n) return {0, len, false, true};
    const unsigned char b = s[i + len];
    if (b < lo || b > hi) return {0, len, false, false};
    cp = (cp << 6) | (b & 0x3F);
    ++len;
    lo = 0x80;
    hi = 0xBF;
  }
  return {cp, len, true, false};
}

// Calls on_invalid(i, step) for every maximal invalid subpart, in order, until it returns
// false; the ASCII runs between characters are skipped sixteen bytes at a time.
template <typename OnInvalid>
void for_each_invalid(std::string_view bytes, OnInvalid&& on_invalid) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = scan::find_first<scan::HasBit<0x80>>(bytes.data(), 0, n);
  while (i < n) {
    const Utf8Step step = utf8_step(s, n, i);
    if (!step.ok && !on_invalid(i, step)) return;
    i = scan::find_first<scan::HasBit<0x80>>(bytes.data(), i + step.len, n);
  }
}

[[gnu::cold]] Error utf8_error(std::size_t at, const Utf8Step& step) {
  std::string message =
      step.incomplete
          ? "incomplete utf-8 byte sequence from index " + std::to_string(at)
          : "invalid utf-8 sequence of " + std::to_string(step.len) + " bytes from index " +
                std::to_string(at);
  return Error{step.incomplete ? ErrorCode::incomplete_utf8 : ErrorCode::invalid_utf8, at,
               std::move(message)};
}

}  // namespace

std::optional<Error> validate_utf8(std::string_view bytes) {
  std::optional<Error> fault;
  for_each_invalid(bytes, [&](std::size_t at, const Utf8Step& step) {
    fault = utf8_error(at, step);
    return false;
  });
  return fault;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  bool valid = true;
  for_each_invalid(bytes, [&](std::size_t, const Utf8Step&) { return valid = false; });
  return valid;
}

std::string decode_utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t copied = 0;  // start of the valid run not yet copied
  for_each_invalid(bytes, [&](std::size_t at, const Utf8Step& step) {
    out.append(bytes.data() + copied, at - copied);
    out += "\xEF\xBF\xBD";
    copied = at + step.len;
    return true;
  });
  out.append(bytes.data() + copied, bytes.size() - copied);
  return out;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::pair<char32_t, std::size_t> decode_utf8_at(std::string_view text, std::size_t pos) noexcept {
  const Utf8Step step =
      utf8_step(reinterpret_cast<const unsigned char*>(text.data()), text.size(), pos);
  if (!step.ok) return {static_cast<unsigned char>(text[pos]), 1};
  return {step.cp, step.len};
}

bool is_unicode_space(char32_t c) noexcept {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trim_unicode_space(std::string_view text) noexcept {
  std::size_t start = 0;
  while (start < text.size()) {
    auto [cp, len] = decode_utf8_at(text, start);
    if (!is_unicode_space(cp)) break;
    start += len;
  }
  std::size_t end = text.size();
  while (end > start) {
    // Step back to the first byte of the last character.
    std::size_t k = end - 1;
    while (k > start && is_utf8_continuation(text[k])) --k;
    auto [cp, len] = decode_utf8_at(text, k);
    if (k + len != end || !is_unicode_space(cp)) break;
    end = k;
  }
  return text.substr(start, end - start);
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace velvin
