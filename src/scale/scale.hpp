// The scale pipeline for very large, well-formed documents: finds the root container's
// elements or members, decides whether splitting pays off, parses the pieces on worker threads
// and joins them in document order, into a value tree or a tape. Called by
// parse_root_array_scale_py and by the pipeline's scale route.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json.hpp"
#include "core/options.hpp"
#include "scale/comma_scan.hpp"
#include "scale/tape.hpp"
#include "core/records.hpp"

namespace velvin {

struct SplitPlan {
  std::string mode;  // "NO_SPLIT", "ROOT_ARRAY_ELEMENTS", "ROOT_OBJECT_PAIRS", "NESTED_KEY(k).…"
  std::uint64_t elements = 0;
  double structural_density = 0.0;
  std::uint64_t chunk_count = 1;
};

using ScaleValueResult = Result<std::pair<JsonValue, SplitPlan>>;
using ScaleTapeResult = Result<std::pair<Tape, SplitPlan>>;

// Any root. The error's message is the text users read, such as "strict parse failed: <message>
// at <position>"; its code and position are those of the failure it reports.
[[nodiscard]] ScaleValueResult parse_root_array_scale(std::string_view bytes,
                                                      const RepairOptions& options);
[[nodiscard]] ScaleTapeResult parse_root_array_scale_tape(std::string_view bytes,
                                                          const RepairOptions& options);

// The same with a chosen way of starting worker threads (tests make it fail). A thread that
// cannot be started abandons the call with the error "failed to spawn thread" (code
// thread_start_failed).
[[nodiscard]] ScaleValueResult parse_root_array_scale(std::string_view bytes,
                                                      const RepairOptions& options,
                                                      const ThreadStarter& start_thread);
[[nodiscard]] ScaleTapeResult parse_root_array_scale_tape(std::string_view bytes,
                                                          const RepairOptions& options,
                                                          const ThreadStarter& start_thread);

// What the plan of a document read whole says of it: its root's elements (or members) and its
// structural bytes (",:[]{}" outside strings), as the container scan would count them.
struct DocumentShape {
  std::uint64_t root_elements = 0;
  std::uint64_t structural = 0;
};

// A strict parser's sink that counts the document's shape while passing every event on to
// `Inner`. The last container to end is the root.
template <typename Inner>
class ShapeCountingSink {
 public:
  explicit ShapeCountingSink(Inner& inner) : inner_(inner) {}
  bool on_null() { return inner_.on_null(); }
  bool on_bool(bool v) { return inner_.on_bool(v); }
  bool on_int(std::int64_t v) { return inner_.on_int(v); }
  bool on_uint(std::uint64_t v) { return inner_.on_uint(v); }
  bool on_float(double v) { return inner_.on_float(v); }
  bool on_string(std::string_view v) { return inner_.on_string(v); }
  bool on_key(std::string_view key) { return inner_.on_key(key); }
  bool known_key(const char* raw, std::size_t avail, std::size_t& length)
    requires requires(Inner& i) { i.known_key(raw, avail, length); }
  {
    return inner_.known_key(raw, avail, length);
  }
  bool on_array_end(std::size_t count) {
    ended(count, 0);
    return inner_.on_array_end(count);
  }
  bool on_object_end(std::size_t count) {
    ended(count, count);  // a colon per member
    return inner_.on_object_end(count);
  }
  [[nodiscard]] const DocumentShape& shape() const noexcept { return shape_; }

 private:
  void ended(std::size_t count, std::size_t colons) {
    shape_.structural += 2 + (count > 0 ? count - 1 : 0) + colons;
    shape_.root_elements = count;
  }
  Inner& inner_;
  DocumentShape shape_;
};

// Reads a document that the route parses whole (not split) into the caller's own values instead
// of a value tree: the Python binding builds its objects in the same pass as the parse.
class WholeDocumentParser {
 public:
  WholeDocumentParser() = default;
  WholeDocumentParser(const WholeDocumentParser&) = delete;
  WholeDocumentParser& operator=(const WholeDocumentParser&) = delete;
  virtual ~WholeDocumentParser() = default;
  // The shape of `text` when it is one valid document, now held by the parser (a scalar root
  // has no elements). Nothing otherwise: the route then reports the error of its own strict
  // parse of the same text.
  virtual std::optional<DocumentShape> parse(std::string_view text) = 0;
};

// The same, with a document that is not split read by `whole`: the result's value is then null
// and `whole` holds the document's value.
[[nodiscard]] ScaleValueResult parse_root_array_scale(std::string_view bytes,
                                                      const RepairOptions& options,
                                                      WholeDocumentParser& whole);

// ---- Spans and the split plan ----

// (start, end) without surrounding white space; an all-white-space range gives (end, end).
[[nodiscard]] Span trim_span(std::string_view bytes, std::uint64_t start, std::uint64_t end);

// Element spans of the root array occupying bytes[start, end), single-threaded; none unless the
// range starts with '[' and ends with ']'. Empty elements (",," or a trailing comma) give no
// span.
[[nodiscard]] std::vector<Span> iter_root_array_element_spans_single(std::string_view bytes,
                                                                     std::uint64_t start,
                                                                     std::uint64_t end);
// Member spans (key through value) of the root object occupying bytes[start, end).
[[nodiscard]] std::vector<Span> iter_root_object_pair_spans_single(std::string_view bytes,
                                                                   std::uint64_t start,
                                                                   std::uint64_t end);
// Element spans of the container (start, end) from its ascending root-level comma positions.
[[nodiscard]] std::vector<Span> spans_from_commas(std::string_view bytes, std::uint64_t start,
                                                  std::uint64_t end,
                                                  const std::vector<std::uint64_t>& commas);

struct PairSpans {
  std::vector<Span> spans;
  bool used_parallel_scan = false;
};

// Member spans of a root object, from the parallel comma scan when the options allow it (and
// `force_sequential` is off), else single-threaded. Fails only with "failed to spawn thread".
[[nodiscard]] Result<PairSpans> iter_root_object_pair_spans(
    std::string_view bytes, std::uint64_t start, std::uint64_t end, const RepairOptions& options,
    bool force_sequential, const ThreadStarter& start_thread = {});

// A task: `count` consecutive spans starting at index `first` of the span list.
struct TaskRange {
  std::size_t first = 0;
  std::size_t count = 0;
  friend bool operator==(const TaskRange&, const TaskRange&) = default;
};

// Groups spans in order into tasks of at least max(parallel_chunk_bytes, 1000000) bytes of span
// text (the last task may hold less).
[[nodiscard]] std::vector<TaskRange> group_tasks(const std::vector<Span>& spans,
                                                 const RepairOptions& options);

// Whether a container of `length` bytes with n spans and density d is split.
[[nodiscard]] bool split_decision(const RepairOptions& options, std::uint64_t length,
                                  std::uint64_t n, double density);

struct RootArraySplit {
  SplitPlan plan;
  std::vector<Span> spans;
  std::vector<TaskRange> tasks;  // "NO_SPLIT": one task holding every span (maybe none)
  bool used_parallel_scan = false;
};

// The element spans of the root array bytes[start, end), the split decision and the task list.
// Fails only with "failed to spawn thread".
[[nodiscard]] Result<RootArraySplit> root_array_split_plan(
    std::string_view bytes, std::uint64_t start, std::uint64_t end, const RepairOptions& options,
    bool force_sequential, const ThreadStarter& start_thread = {});

// Splits one member span into its key span (both quotes included) and its value span (trimmed,
// non-empty); nothing when the member lacks the key, ':', value shape.
[[nodiscard]] std::optional<std::pair<Span, Span>> extract_object_key_span_and_value_span(
    std::string_view bytes, std::uint64_t start, std::uint64_t end);

// ---- Pieces of the value path ----

// The payload "[" span1 "," span2 ... "]" parsed strictly: its elements, or "invalid utf-8 in
// task payload: ..." / "strict parse failed in task payload: <message> at <position in the
// payload>".
[[nodiscard]] Result<JsonArray> parse_task_bytes(std::string_view bytes,
                                                 const std::vector<Span>& spans);
// The payload "{" member1 "," member2 ... "}": its members.
[[nodiscard]] Result<JsonObject> parse_object_pair_task_bytes(
    std::string_view bytes, const std::vector<Span>& spans);

// ---- Pieces of the tape path ----

// parse_strict_tape of bytes[start, end) with base `start`, as entries whose links count from
// 0, or "tape parse failed: <message> at <absolute position>".
[[nodiscard]] Result<TapeEntries> parse_tape_entries_strict(std::string_view bytes,
                                                            std::uint64_t start,
                                                            std::uint64_t end);

// The entries of the value in bytes[start, end) (links counting from 0), splitting it and its
// large parts recursively where the options allow; `depth` is the number of containers that
// enclose the span (0 for the root). Every failure of a split falls back to the strict parse of
// the whole span, whose error is the one reported.
[[nodiscard]] Result<TapeEntries> parse_value_scale_tape(
    std::string_view bytes, std::uint64_t start, std::uint64_t end, const RepairOptions& options,
    std::size_t depth);

// Whether the value of the member bytes[start, end) is a container large enough to be split on
// its own at this depth.
[[nodiscard]] bool should_recurse_pair_value(std::string_view bytes, std::uint64_t start,
                                             std::uint64_t end, const RepairOptions& options,
                                             std::size_t depth);

}  // namespace velvin
