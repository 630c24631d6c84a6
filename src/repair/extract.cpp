#include "repair/extract.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "core/scan.hpp"
#include "core/json.hpp"

namespace velvin {
namespace {

constexpr std::string_view kFence = "```";

using scan::skip_space;

bool only_json_space(std::string_view text) {
  return skip_space(text, 0) == text.size();
}

bool has_json_tag(std::string_view text, std::size_t pos) {
  if (pos + 4 > text.size()) return false;
  return ascii_lower(text.substr(pos, 4)) == "json";
}

RepairAction strip_action(Op op, std::size_t start, std::size_t end) {
  RepairAction action =
      RepairAction::make(op, {Stage::Extraction}, op_cost(op, Stage::Extraction).fixed());
  action.set_span(Span{start, end});
  return action;
}

// Stage 1: the first ``` fence, optionally tagged "json", whose content is an object or array.
// Only the first fence is tried: a later one is as likely to be an example as the answer.
std::optional<Extraction> extract_code_fence(std::string_view text) {
  const std::size_t n = text.size();
  if (n < 3) return std::nullopt;
  const std::size_t fence = text.find(kFence);
  if (fence == std::string_view::npos) return std::nullopt;
  std::size_t p = skip_space(text, fence + 3);
  if (has_json_tag(text, p)) p += 4;
  p = skip_space(text, p);
  if (p + 2 >= n) return std::nullopt;
  const std::size_t close = text.find(kFence, p);
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view content = trim_unicode_space(text.substr(p, close - p));
  if (content.empty() || (content.front() != '{' && content.front() != '[')) return std::nullopt;

  Extraction out;
  out.text = std::string(content);
  out.method = "code_fence";
  out.span = Span{p, close};
  out.truncated = false;
  out.repairs.push_back(strip_action(Op::StripPrefixText, 0, p));
  out.repairs.push_back(strip_action(Op::StripSuffixText, close, n));
  out.repairs.push_back(strip_action(Op::StripCodeFence, fence, close + 3));
  return out;
}

// Offset of the first '{' or '[', or npos.
std::size_t first_opener(std::string_view text) {
  const char* begin = text.data();
  const char* brace = static_cast<const char*>(std::memchr(begin, '{', text.size()));
  const std::size_t limit = brace != nullptr ? static_cast<std::size_t>(brace - begin) : text.size();
  const char* bracket = static_cast<const char*>(std::memchr(begin, '[', limit));
  if (bracket != nullptr) return static_cast<std::size_t>(bracket - begin);
  if (brace != nullptr) return limit;
  return std::string_view::npos;
}

// End (exclusive) of the bracketed run starting at `start`: the byte at which brace depth and
// bracket depth are both back at 0, counted independently and outside double-quoted strings;
// npos when the input ends first. The depths only change at brackets, so only brackets outside
// strings are visited, found 64 bytes at a time.
std::size_t balanced_end(std::string_view text, std::size_t start) {
  scan::StringTracker strings;
  long braces = 0;
  long brackets = 0;
  for (scan::Blocks blocks(text.data(), text.size(), start); !blocks.done(); blocks.next()) {
    const char* p = blocks.bytes();
    using scan::Bytes;
    const auto [quote, backslash, open_brace, close_brace, open_bracket, close_bracket] =
        scan::classify<Bytes<'"'>, Bytes<'\\'>, Bytes<'{'>, Bytes<'}'>, Bytes<'['>, Bytes<']'>>(p);
    const std::uint64_t out = ~strings.advance(quote, backslash, p).in_string;
    for (std::uint64_t hits = (open_brace | close_brace | open_bracket | close_bracket) & out;
         hits != 0; hits &= hits - 1) {
      const int k = std::countr_zero(hits);
      switch (p[k]) {
        case '{': ++braces; break;
        case '}': --braces; break;
        case '[': ++brackets; break;
        default: --brackets; break;
      }
      if (braces == 0 && brackets == 0) return blocks.base() + static_cast<std::size_t>(k) + 1;
    }
  }
  return std::string_view::npos;
}

// Stage 2: from the first bracket to the point where it balances, or to the end of the input.
Extraction extract_brackets(std::string_view text, std::size_t start) {
  const std::size_t n = text.size();
  const std::size_t balanced = balanced_end(text, start);
  const bool truncated = balanced == std::string_view::npos;
  const std::size_t end = truncated ? n : balanced;

  Extraction out;
  out.text = std::string(text.substr(start, end - start));
  out.method = "brace_scan";
  out.span = Span{start, end};
  out.truncated = truncated;
  // White space around a JSON text belongs to valid JSON: leaving it out is no repair, so a
  // document that merely ends in a newline still parses as it came.
  if (start > 0 && !only_json_space(text.substr(0, start))) {
    out.repairs.push_back(strip_action(Op::StripPrefixText, 0, start));
  }
  if (end < n && !only_json_space(text.substr(end))) {
    out.repairs.push_back(strip_action(Op::StripSuffixText, end, n));
  }
  return out;
}

}  // namespace

Extraction whole_text_extraction(std::string_view text) {
  Extraction out;
  out.text = std::string(text);
  out.method = "no_json_found";
  out.span = Span{0, text.size()};
  out.truncated = true;
  return out;
}

std::optional<Error> extraction_over_limit(const Extraction& extraction, std::uint64_t limit) {
  if (extraction.repairs.size() <= limit) return std::nullopt;
  const RepairAction& past = extraction.repairs[limit];
  return repair_limit_error(limit, Stage::Extraction, past.span().value_or(Span{}).start);
}

Extraction extract_json_candidate(std::string_view text) {
  if (auto fenced = extract_code_fence(text)) return std::move(*fenced);
  const std::size_t start = first_opener(text);
  if (start == std::string_view::npos) return whole_text_extraction(text);
  return extract_brackets(text, start);
}

}  // namespace velvin
