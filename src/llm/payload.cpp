#include "llm/payload.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace velvin {

namespace {

using TextResult = Result<std::string>;

[[gnu::cold]] Error invalid_patch(std::string message) {
  return Error{ErrorCode::invalid_patch, 0, std::move(message)};
}

JsonValue copy_if_object(const std::optional<JsonValue>& value) {
  if (value && value->is_object()) return value->clone();
  return JsonValue::object({});
}

JsonMember member(std::string_view key, JsonValue value) {
  return JsonMember{std::string(key), std::move(value)};
}

struct SnippetWindow {
  std::size_t start = 0;
  std::size_t end = 0;
};

SnippetWindow snippet_window(std::string_view text, std::optional<std::uint64_t> error_position,
                             std::uint64_t window) {
  const std::size_t len = text.size();
  const std::uint64_t centre = error_position ? std::min<std::uint64_t>(*error_position, len)
                                              : len / 2;
  const std::uint64_t half = window > 3 ? window / 2 : 1;
  std::size_t start = centre > half ? static_cast<std::size_t>(centre - half) : 0;
  // centre <= len, so only `half` can push the sum past the range.
  std::size_t end = half >= len - centre ? len : static_cast<std::size_t>(centre + half);
  while (start > 0 && start < len && is_utf8_continuation(text[start])) --start;
  while (end > 0 && end < len && is_utf8_continuation(text[end])) --end;
  if (end < start) end = start;
  return {start, end};
}

// A position from a reply: negative and NaN mean 0, fractions are cut, huge values saturate.
std::optional<std::uint64_t> offset_of(const JsonValue* value) {
  if (value == nullptr) return std::nullopt;
  switch (value->kind()) {
    case JsonKind::Int:
      return value->as_int() < 0 ? 0 : static_cast<std::uint64_t>(value->as_int());
    case JsonKind::UInt:
      return value->as_uint();
    case JsonKind::Float: {
      const double f = value->as_float();
      if (!(f > 0.0)) return 0;
      // 2^64 is exactly representable; anything at or above it saturates.
      if (f >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
      return static_cast<std::uint64_t>(f);
    }
    default:
      return std::nullopt;
  }
}

std::string text_member(const JsonValue& op) {
  const JsonValue* text = op.find("text");
  return text != nullptr && text->is_string() ? std::string(text->as_string()) : std::string();
}

Result<PatchOp> parse_span_op(const JsonValue& op, PatchKind kind, std::string_view name) {
  const JsonValue* span = op.find("span");
  if (span == nullptr || !span->is_array() || span->as_array().size() != 2) {
    return invalid_patch("invalid span for " + std::string(name));
  }
  const auto start = offset_of(&span->as_array()[0]);
  if (!start) return invalid_patch("invalid span start for " + std::string(name));
  const auto end = offset_of(&span->as_array()[1]);
  if (!end) return invalid_patch("invalid span end for " + std::string(name));
  if (*end < *start) return invalid_patch("invalid span for " + std::string(name));
  PatchOp parsed{kind, *start, *end, {}};
  if (kind == PatchKind::Replace) parsed.text = text_member(op);
  return parsed;
}

Result<PatchOp> parse_at_op(const JsonValue& op, PatchKind kind, std::string_view name) {
  const auto at = offset_of(op.find("at"));
  if (!at) return invalid_patch("invalid 'at' for " + std::string(name));
  PatchOp parsed{kind, *at, *at, {}};
  if (kind == PatchKind::Insert) parsed.text = text_member(op);
  return parsed;
}

// The text being patched, split at the edit point: `left_` holds the bytes before it and
// `right_` the bytes after it in reverse order, so that edits at the point cost only the bytes
// they touch. Ops arrive with non-increasing positions, so the point mostly moves left; it moves
// right only after an op clamped to the end of the buffer, and then by no more than the text
// that op inserted. The whole batch is therefore linear in the text plus the inserted texts.
class EditBuffer {
 public:
  explicit EditBuffer(std::string_view text) : left_(text) {}

  [[nodiscard]] std::uint64_t size() const { return left_.size() + right_.size(); }

  void apply(const PatchOp& op) {
    const std::uint64_t n = size();
    const auto start = static_cast<std::size_t>(std::min(op.start, n));
    const auto end = static_cast<std::size_t>(std::min(op.end, n));
    move_point_to(start);
    switch (op.kind) {
      case PatchKind::Delete:
        erase_after_point(end - start);
        break;
      case PatchKind::Replace:
        erase_after_point(end - start);
        insert_at_point(op.text);
        break;
      case PatchKind::Insert:
        insert_at_point(op.text);
        break;
      case PatchKind::TruncateAfter:
        right_.clear();
        break;
    }
  }

  [[nodiscard]] std::string take() && {
    append_reversed(left_, right_);
    return std::move(left_);
  }

 private:
  void move_point_to(std::size_t pos) {
    if (pos < left_.size()) {
      append_reversed(right_, std::string_view(left_).substr(pos));
      left_.resize(pos);
    } else if (pos > left_.size()) {
      const std::size_t moved = pos - left_.size();
      append_reversed(left_, std::string_view(right_).substr(right_.size() - moved));
      right_.resize(right_.size() - moved);
    }
  }
  void erase_after_point(std::size_t count) { right_.resize(right_.size() - count); }
  void insert_at_point(std::string_view text) { append_reversed(right_, text); }

  static void append_reversed(std::string& to, std::string_view from) {
    const std::size_t old_size = to.size();
    to.resize(old_size + from.size());
    std::reverse_copy(from.begin(), from.end(), to.begin() + static_cast<std::ptrdiff_t>(old_size));
  }

  std::string left_;
  std::string right_;  // reversed
};

}  // namespace

JsonValue build_llm_payload_json(std::string_view text, std::string_view mode,
                                 std::optional<std::uint64_t> error_position,
                                 const std::optional<JsonValue>& schema,
                                 const std::optional<JsonValue>& parser_state,
                                 std::uint64_t max_suggestions, std::uint64_t window) {
  const SnippetWindow w = snippet_window(text, error_position, window);
  std::string_view snippet = text.substr(w.start, w.end - w.start);

  JsonArray span;
  span.push_back(JsonValue::uinteger(w.start));
  span.push_back(JsonValue::uinteger(w.end));
  JsonObject snippet_object;
  // The text is UTF-8 from the pipeline; a caller handing in raw bytes still gets a valid
  // request document.
  snippet_object.push_back(member("text", is_valid_utf8(snippet)
                                              ? JsonValue::string(snippet)
                                              : JsonValue::string(decode_utf8_lossy(snippet))));
  snippet_object.push_back(member("encoding", JsonValue::string("utf-8")));
  snippet_object.push_back(member("span_in_extracted", JsonValue::array(std::move(span))));

  JsonObject constraints;
  constraints.push_back(member("max_suggestions", JsonValue::uinteger(max_suggestions)));
  constraints.push_back(member("prefer_minimal_change", JsonValue::boolean(true)));
  constraints.push_back(member("return_json_only", JsonValue::boolean(true)));

  JsonObject request;
  request.push_back(member("task", JsonValue::string("json_deep_repair")));
  request.push_back(member("mode", JsonValue::string(mode)));
  request.push_back(member("snippet", JsonValue::object(std::move(snippet_object))));
  request.push_back(member("parser_state", copy_if_object(parser_state)));
  request.push_back(member("schema_hint", copy_if_object(schema)));
  request.push_back(member("constraints", JsonValue::object(std::move(constraints))));
  return JsonValue::object(std::move(request));
}

Result<PatchOp> parse_patch_op(const JsonValue& op) {
  if (!op.is_object()) return invalid_patch("patch op must be an object");
  const JsonValue* name_value = op.find("op");
  if (name_value == nullptr || !name_value->is_string()) {
    return invalid_patch("patch op missing 'op' string");
  }
  const std::string_view name = name_value->as_string();
  if (name == "delete") return parse_span_op(op, PatchKind::Delete, name);
  if (name == "replace") return parse_span_op(op, PatchKind::Replace, name);
  if (name == "insert") return parse_at_op(op, PatchKind::Insert, name);
  if (name == "truncate_after") return parse_at_op(op, PatchKind::TruncateAfter, name);
  return invalid_patch("unsupported patch op: " + quote_json_string(name));
}

Result<std::string> apply_patch_ops_utf8(std::string_view text, const JsonArray& ops) {
  std::vector<PatchOp> parsed;
  parsed.reserve(ops.size());
  for (const JsonValue& op : ops) {
    auto one = parse_patch_op(op);
    if (!one) return TextResult::failure(std::move(one).error());
    parsed.push_back(std::move(one).value());
  }
  std::stable_sort(parsed.begin(), parsed.end(), [](const PatchOp& a, const PatchOp& b) {
    return a.start != b.start ? a.start > b.start : a.end > b.end;
  });
  EditBuffer buffer(text);
  for (const PatchOp& op : parsed) buffer.apply(op);
  return TextResult::success(decode_utf8_lossy(std::move(buffer).take()));
}

}  // namespace velvin
