// Patch application on any text and any ops: never fails on valid ops, always yields valid
// UTF-8, and equals the literal algorithm (stable sort by descending start, then end; each edit
// clamped to the buffer as it stands).
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_common.hpp"
#include "core/json.hpp"
#include "llm/payload.hpp"

namespace {

using velvin::JsonArray;
using velvin::JsonMember;
using velvin::JsonObject;
using velvin::JsonValue;
using velvin::fuzz::check;

JsonValue number_from(velvin::fuzz::ByteReader& in) {
  const std::uint8_t kind = in.byte();
  const std::uint8_t v = in.byte();
  switch (kind % 4) {
    case 0: return JsonValue::integer(static_cast<std::int64_t>(v) - 8);
    case 1: return JsonValue::uinteger(v);
    case 2: return JsonValue::number(static_cast<double>(v) / 3.0 - 2.0);
    default: return JsonValue::string("x");  // not a number: the op is refused
  }
}

JsonValue op_from(velvin::fuzz::ByteReader& in) {
  static const char* kNames[] = {"delete", "replace", "insert", "truncate_after", "move"};
  const char* name = kNames[in.byte() % 5];
  JsonObject members;
  members.push_back(JsonMember{"op", JsonValue::string(name)});
  JsonArray span;
  span.push_back(number_from(in));
  span.push_back(number_from(in));
  members.push_back(JsonMember{"span", JsonValue::array(std::move(span))});
  members.push_back(JsonMember{"at", number_from(in)});
  const std::uint8_t text_len = in.byte() % 5;
  std::string text;
  for (std::uint8_t i = 0; i < text_len; ++i) text.push_back(static_cast<char>(in.byte()));
  members.push_back(JsonMember{"text", JsonValue::string(velvin::decode_utf8_lossy(text))});
  return JsonValue::object(std::move(members));
}

// The edits applied one after another, as the rule states them.
std::string apply_literally(std::string buffer, std::vector<velvin::PatchOp> ops) {
  std::stable_sort(ops.begin(), ops.end(), [](const auto& a, const auto& b) {
    return a.start != b.start ? a.start > b.start : a.end > b.end;
  });
  for (const auto& op : ops) {
    const std::size_t n = buffer.size();
    const std::size_t start = std::min<std::uint64_t>(op.start, n);
    const std::size_t end = std::min<std::uint64_t>(op.end, n);
    switch (op.kind) {
      case velvin::PatchKind::Delete:
        buffer = buffer.substr(0, start) + buffer.substr(std::max(start, end));
        break;
      case velvin::PatchKind::Replace:
        buffer = buffer.substr(0, start) + op.text + buffer.substr(std::max(start, end));
        break;
      case velvin::PatchKind::Insert:
        buffer.insert(start, op.text);
        break;
      case velvin::PatchKind::TruncateAfter:
        buffer.resize(start);
        break;
    }
  }
  return velvin::decode_utf8_lossy(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  velvin::fuzz::ByteReader reader(data, size);
  const std::size_t count = reader.byte() % 9;
  velvin::JsonArray ops;
  for (std::size_t i = 0; i < count; ++i) ops.push_back(op_from(reader));
  const std::string text = velvin::decode_utf8_lossy(reader.rest());

  const auto applied = velvin::apply_patch_ops_utf8(text, ops);
  std::vector<velvin::PatchOp> parsed;
  for (const JsonValue& op : ops) {
    auto p = velvin::parse_patch_op(op);
    if (!p) {
      check(!applied.ok(), "a refused op refuses the whole batch");
      return 0;
    }
    parsed.push_back(std::move(p).value());
  }
  check(applied.ok(), "valid ops always apply");
  check(velvin::is_valid_utf8(applied.value()), "patched text is valid UTF-8");
  check(applied.value() == apply_literally(text, std::move(parsed)),
        "patching equals the literal algorithm");
  return 0;
}
