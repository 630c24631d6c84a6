// The two pure halves of the language-model exchange: the request document written to the
// external command (a snippet of the text around the error, the schema, the constraints), and
// the patch operations of its reply applied to the text. Called by the language-model fallback;
// no I/O here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.hpp"

namespace velvin {

// The request document: "task", "mode", "snippet" (a window of at most `window` bytes centred on
// the error position, or on the middle of the text, cut on character boundaries), "parser_state",
// "schema_hint" (each copied when it is an object, else {}) and "constraints".
[[nodiscard]] JsonValue build_llm_payload_json(std::string_view text, std::string_view mode,
                                               std::optional<std::uint64_t> error_position,
                                               const std::optional<JsonValue>& schema,
                                               const std::optional<JsonValue>& parser_state,
                                               std::uint64_t max_suggestions,
                                               std::uint64_t window);

enum class PatchKind : std::uint8_t { Delete, Replace, Insert, TruncateAfter };

// One edit of a reply. Offsets are bytes of the text as it was before any edit of its batch.
// For Insert and TruncateAfter, `start` and `end` both hold the "at" position.
struct PatchOp {
  PatchKind kind = PatchKind::Delete;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::string text;  // Replace and Insert only
};

// Reads one op object of a reply, or says why it is unusable (code invalid_patch). A span whose
// end lies before its start is refused ("invalid span for <op>"): applied literally it would
// duplicate the bytes between the two ends.
[[nodiscard]] Result<PatchOp> parse_patch_op(const JsonValue& op);

// Applies every op of the list, from the end of the text towards its start (descending start,
// then end; ties in list order), each position clamped to the length of the buffer at that
// moment. Nothing is applied when any op is refused. The result is decoded leniently as UTF-8,
// since an edit may cut a character. Linear in the text plus the ops' texts.
[[nodiscard]] Result<std::string> apply_patch_ops_utf8(std::string_view text,
                                                       const JsonArray& ops);

}  // namespace velvin
