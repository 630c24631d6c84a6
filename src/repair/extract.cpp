#include "repair/extract.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

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

// Where a fenced block stands: the opening backticks, the first byte of its content (after the
// tag), the closing backticks, and the content trimmed of white space.
struct FencePlaces {
  std::size_t open;
  std::size_t content;
  std::size_t close;
  std::string_view trimmed;
};

// The fence whose opening backticks stand at `fence`, when it is tagged "json" or untagged and
// its content is an object or array.
std::optional<FencePlaces> json_fence_at(std::string_view text, std::size_t fence) {
  const std::size_t n = text.size();
  std::size_t p = skip_space(text, fence + 3);
  if (has_json_tag(text, p)) p += 4;
  p = skip_space(text, p);
  if (p + 2 >= n) return std::nullopt;
  const std::size_t close = text.find(kFence, p);
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view content = trim_unicode_space(text.substr(p, close - p));
  if (content.empty() || (content.front() != '{' && content.front() != '[')) return std::nullopt;
  return FencePlaces{fence, p, close, content};
}

// Stage 1: the first ``` fence, optionally tagged "json", whose content is an object or array.
// Only the first fence is tried: a later one is as likely to be an example as the answer.
std::optional<Extraction> extract_code_fence(std::string_view text) {
  const std::size_t fence = text.find(kFence);
  if (fence == std::string_view::npos) return std::nullopt;
  const std::optional<FencePlaces> found = json_fence_at(text, fence);
  if (!found) return std::nullopt;

  Extraction out;
  out.text = std::string(found->trimmed);
  out.method = "code_fence";
  out.span = Span{found->content, found->close};
  out.truncated = false;
  out.repairs.push_back(strip_action(Op::StripPrefixText, 0, found->content));
  out.repairs.push_back(strip_action(Op::StripSuffixText, found->close, text.size()));
  out.repairs.push_back(strip_action(Op::StripCodeFence, fence, found->close + 3));
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

// The brackets of one 64-byte block that stand outside strings, one bit per byte.
struct BracketMasks {
  std::uint64_t open_brace, close_brace, open_bracket, close_bracket;
};

// Visits the brackets of `text` from `start` on that stand outside double-quoted strings, in
// order, until `visit(bracket)` returns true; returns where it did, or npos when the text ends
// first. Brackets are found 64 bytes at a time; a block that `pass(masks)` takes whole (it
// knows that no visit there could return true, and accounts for its brackets itself) is not
// visited bracket by bracket.
template <typename Pass, typename Visit>
std::size_t find_bracket_where(std::string_view text, std::size_t start, Pass pass, Visit visit) {
  scan::StringTracker strings;
  for (scan::Blocks blocks(text.data(), text.size(), start); !blocks.done(); blocks.next()) {
    const char* p = blocks.bytes();
    using scan::Bytes;
    const auto [quote, backslash, open_brace, close_brace, open_bracket, close_bracket] =
        scan::classify<Bytes<'"'>, Bytes<'\\'>, Bytes<'{'>, Bytes<'}'>, Bytes<'['>, Bytes<']'>>(p);
    const std::uint64_t out = ~strings.advance(quote, backslash, p).in_string;
    const BracketMasks masks{open_brace & out, close_brace & out, open_bracket & out,
                             close_bracket & out};
    if (pass(masks)) continue;
    for (std::uint64_t hits = masks.open_brace | masks.close_brace | masks.open_bracket |
                              masks.close_bracket;
         hits != 0; hits &= hits - 1) {
      const int k = std::countr_zero(hits);
      if (visit(p[k])) return blocks.base() + static_cast<std::size_t>(k);
    }
  }
  return std::string_view::npos;
}

// End (exclusive) of the bracketed run starting at `start`: the byte at which brace depth and
// bracket depth are both back at 0, counted independently and outside double-quoted strings;
// npos when the input ends first.
std::size_t balanced_end(std::string_view text, std::size_t start) {
  long braces = 0;
  long brackets = 0;
  // Both depths reach 0 only where their sum does, which a block with fewer closers than that
  // sum cannot bring about: deep in a document most blocks are counted without a visit.
  auto pass = [&](const BracketMasks& m) {
    const long closers = std::popcount(m.close_brace | m.close_bracket);
    if (closers >= braces + brackets) return false;
    braces += std::popcount(m.open_brace) - std::popcount(m.close_brace);
    brackets += std::popcount(m.open_bracket) - std::popcount(m.close_bracket);
    return true;
  };
  const std::size_t at = find_bracket_where(text, start, pass, [&](char c) {
    switch (c) {
      case '{': ++braces; break;
      case '}': --braces; break;
      case '[': ++brackets; break;
      default: --brackets; break;
    }
    return braces == 0 && brackets == 0;
  });
  return at == std::string_view::npos ? at : at + 1;
}

// End (exclusive) of the value opening at `start`, for the splitter. Brackets nest: a closer
// that does not match the innermost open bracket closes through to the nearest one it matches,
// so `{"a": [1, 2}` ends at its brace instead of swallowing the values after it, and a closer
// that matches no open bracket is passed over. npos when the text ends first.
std::size_t nested_end(std::string_view text, std::size_t start) {
  std::vector<char> open;
  std::size_t open_braces = 0;
  std::size_t open_brackets = 0;
  auto count_of = [&](char opener) -> std::size_t& {
    return opener == '{' ? open_braces : open_brackets;
  };
  auto visit_all = [](const BracketMasks&) { return false; };
  const std::size_t at = find_bracket_where(text, start, visit_all, [&](char c) {
    if (c == '{' || c == '[') {
      open.push_back(c);
      ++count_of(c);
      return false;
    }
    const char opener = c == '}' ? '{' : '[';
    if (count_of(opener) == 0) return false;
    for (char top = 0; top != opener;) {
      top = open.back();
      open.pop_back();
      --count_of(top);
    }
    return open.empty();
  });
  return at == std::string_view::npos ? at : at + 1;
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

std::optional<Extraction> bracketed_document_extraction(std::string_view text) {
  const std::size_t start = scan::skip_space(text, 0);
  const std::size_t end = scan::skip_space_back(text, start, text.size());
  if (end - start < 2) return std::nullopt;
  const char open = text[start];
  const char close = text[end - 1];
  if ((open != '{' && open != '[') || (close != '}' && close != ']')) return std::nullopt;
  // A fence of JSON, even inside a string, is what extraction takes first.
  if (extract_code_fence(text)) return std::nullopt;
  Extraction out;
  out.method = "brace_scan";
  out.span = Span{start, end};
  out.truncated = false;
  return out;
}

Extraction extract_json_candidate(std::string_view text) {
  if (auto fenced = extract_code_fence(text)) return std::move(*fenced);
  const std::size_t start = first_opener(text);
  if (start == std::string_view::npos) return whole_text_extraction(text);
  return extract_brackets(text, start);
}

std::vector<Span> split_json_candidates(std::string_view text) {
  // The next fence, "{" and "[" at or after `pos`, each found again only once `pos` has passed
  // it: a text of many small values is read once, not once per value.
  constexpr std::size_t npos = std::string_view::npos;
  std::size_t pos = 0;
  std::size_t fence = text.find(kFence);
  std::size_t brace = text.find('{');
  std::size_t bracket = text.find('[');
  std::vector<Span> values;
  for (;;) {
    if (fence < pos) fence = text.find(kFence, pos);
    if (brace < pos) brace = text.find('{', pos);
    if (bracket < pos) bracket = text.find('[', pos);
    const std::size_t opener = std::min(brace, bracket);
    if (fence < opener) {
      if (const std::optional<FencePlaces> found = json_fence_at(text, fence)) {
        values.push_back(Span{found->open, found->close + 3});
        pos = found->close + 3;
      } else {
        pos = fence + 3;  // another language's fence: its content is read as prose
      }
      continue;
    }
    if (opener == npos) break;
    const std::size_t end = nested_end(text, opener);
    values.push_back(Span{opener, end == npos ? text.size() : end});
    if (end == npos) break;
    pos = end;
  }
  return values;
}

}  // namespace velvin
