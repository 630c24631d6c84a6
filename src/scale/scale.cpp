#include "scale/scale.hpp"

#include <algorithm>
#include <limits>
#include <type_traits>
#include <utility>

#include "core/scan.hpp"

// How the tape path writes its entries. Every piece appends to one output vector (a "sink")
// instead of building its own list to be stitched afterwards: stitching would hold the tape
// twice and rewrite it once more, and a tape is several times larger than its document. A split
// is possible without knowing the pieces' results first because the comma scan also counts the
// tape entries of every element (one per bracket, string and scalar token; exact for valid
// JSON), so each task is handed a window of the output of exactly its size and the workers fill
// their windows in parallel, writing container links as final indices. A window that turns out
// too small or too large can only come from invalid text: that task fails and the split falls
// back to the strict parse, whose error is the one reported.

namespace velvin {

namespace {

// Pieces deeper than this many levels of recursion are parsed strictly.
constexpr std::size_t kMaxSplitDepth = 7;
// Tasks hold at least this many bytes of element text whatever parallel_chunk_bytes says.
constexpr std::uint64_t kMinTaskBytes = 1000000;
// Reported only if a lexical entry count disagreed with a successful parse; never expected.
[[gnu::cold]] Error entry_count_mismatch() {
  return Error{ErrorCode::entry_count_mismatch, 0, "tape entry count mismatch"};
}

bool is_thread_start_failure(const Error& error) noexcept {
  return error.code == ErrorCode::thread_start_failed;
}

constexpr std::string_view kNoSplit = "NO_SPLIT";
constexpr std::string_view kRootArrayElements = "ROOT_ARRAY_ELEMENTS";
constexpr std::string_view kRootObjectPairs = "ROOT_OBJECT_PAIRS";

struct ScaleContext {
  std::string_view bytes;
  const RepairOptions& options;
  const ThreadStarter& start_thread;
  ParallelSetting setting;
  std::size_t workers;
  WholeDocumentParser* whole;  // reads the root when it is not split; null: a value tree
};

ScaleContext make_context(std::string_view bytes, const RepairOptions& options,
                          const ThreadStarter& start_thread, WholeDocumentParser* whole = nullptr) {
  return ScaleContext{bytes, options, start_thread, allow_parallel_bool(options.allow_parallel),
                      parallel_workers(options.parallel_workers), whole};
}

std::uint64_t length_of(const Span& s) noexcept { return s.end - s.start; }

std::string_view slice(std::string_view bytes, const Span& s) noexcept {
  return bytes.substr(s.start, s.end - s.start);
}

bool is_container(std::string_view bytes, const Span& s, char open, char close) noexcept {
  return s.start < s.end && s.end <= bytes.size() && bytes[s.start] == open &&
         bytes[s.end - 1] == close;
}

// The document without a leading UTF-8 byte-order mark and surrounding white space.
Span root_span(std::string_view bytes) noexcept {
  std::uint64_t start = 0;
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") start = 3;
  return trim_span(bytes, start, bytes.size());
}

// ---------------------------------------------------------------------------------------------
// Container scans

// What one scan of a container tells the planner.
struct ContainerScan {
  bool is_container = false;
  std::vector<Span> spans;
  std::vector<std::uint64_t> entries;  // tape entries of each span
  std::uint64_t total_entries = 0;     // of the whole container, its brackets included
  std::uint64_t structural = 0;        // structural bytes of the whole span
  bool empty_element = false;          // ",," or a leading or trailing comma at the root level
  bool used_parallel_scan = false;

  [[nodiscard]] double density(const Span& span) const noexcept {
    return static_cast<double>(structural) /
           static_cast<double>(std::max<std::uint64_t>(length_of(span), 1));
  }
};

ScanDepths root_depths(bool object) noexcept { return object ? ScanDepths{1, 0} : ScanDepths{0, 1}; }

std::uint64_t structural_count(std::string_view bytes, const Span& s) {
  // Depths no comma can have: only the structural count is wanted.
  constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min();
  return scan_interior_serial(bytes, s.start, s.end, ScanDepths{0, 0}, ScanDepths{kNever, kNever})
      .structural;
}

// Spans between the root-level commas of the container `span`, with their entry counts when
// the scan provides them.
void spans_between_commas(std::string_view bytes, const Span& span,
                          const std::vector<std::uint64_t>& commas,
                          const std::vector<std::uint64_t>* entries_before,
                          std::uint64_t interior_entries, ContainerScan& out) {
  const std::uint64_t interior_end = span.end - 1;
  std::uint64_t cursor = span.start + 1;
  std::uint64_t before = 0;
  out.spans.reserve(commas.size() + 1);
  if (entries_before != nullptr) out.entries.reserve(commas.size() + 1);
  auto add = [&](std::uint64_t end, std::uint64_t entries_at_end) {
    const Span element = trim_span(bytes, cursor, end);
    if (element.start < element.end) {
      out.spans.push_back(element);
      if (entries_before != nullptr) out.entries.push_back(entries_at_end - before);
    } else {
      out.empty_element = true;
    }
    before = entries_at_end;
  };
  for (std::size_t k = 0; k < commas.size(); ++k) {
    add(commas[k], entries_before != nullptr ? (*entries_before)[k] : 0);
    cursor = commas[k] + 1;
  }
  const Span last = trim_span(bytes, cursor, interior_end);
  if (last.start < last.end || !commas.empty()) add(interior_end, interior_entries);
}

ContainerScan container_from_interior(std::string_view bytes, const Span& span,
                                      InteriorScan&& interior, bool used_parallel_scan) {
  ContainerScan cs;
  cs.is_container = true;
  cs.used_parallel_scan = used_parallel_scan;
  spans_between_commas(bytes, span, interior.commas, &interior.entries_before, interior.entries,
                       cs);
  cs.total_entries = interior.entries + 2;
  // The opening bracket, and the closing one unless the interior left a string open.
  cs.structural = interior.structural + 1 + (interior.exit.in_string ? 0 : 1);
  return cs;
}

// The element (or member) spans of the container `span`, from the parallel comma scan when the
// options allow it, else single-threaded; the error is only ever "failed to spawn thread".
Result<ContainerScan> scan_container(const ScaleContext& ctx, const Span& span,
                                                  bool object, bool force_sequential) {
  if (!is_container(ctx.bytes, span, object ? '{' : '[', object ? '}' : ']')) {
    ContainerScan cs;
    cs.structural = structural_count(ctx.bytes, span);
    return cs;
  }
  const ScanDepths depths = root_depths(object);
  const bool parallel =
      !force_sequential && ctx.workers > 1 &&
      (ctx.setting == ParallelSetting::on ||
       (ctx.setting == ParallelSetting::automatic &&
        length_of(span) >= ctx.options.parallel_threshold_bytes));
  if (parallel) {
    auto scan = scan_interior_parallel(
        ctx.bytes, span.start + 1, span.end - 1, depths, depths, ctx.workers,
        static_cast<std::size_t>(std::max<std::uint64_t>(ctx.options.parallel_chunk_bytes, 1)),
        ctx.start_thread);
    if (scan) return container_from_interior(ctx.bytes, span, std::move(scan.value()), true);
    if (is_thread_start_failure(scan.error())) return std::move(scan).error();
    // Any other failure of the parallel scan: scan again single-threaded.
  }
  return container_from_interior(
      ctx.bytes, span, scan_interior_serial(ctx.bytes, span.start + 1, span.end - 1, depths, depths),
      false);
}

std::vector<TaskRange> one_task(std::size_t n) { return {TaskRange{0, n}}; }

struct ArraySplit {
  ContainerScan scan;
  std::vector<TaskRange> tasks;
  SplitPlan plan;
};

Result<ArraySplit> array_split(const ScaleContext& ctx, const Span& span,
                               bool force_sequential) {
  auto scan = scan_container(ctx, span, false, force_sequential);
  if (!scan) return std::move(scan).error();
  ArraySplit split;
  split.scan = std::move(scan.value());
  const std::uint64_t n = split.scan.spans.size();
  const double density = split.scan.density(span);
  if (split_decision(ctx.options, length_of(span), n, density)) {
    split.tasks = group_tasks(split.scan.spans, ctx.options);
    split.plan = SplitPlan{std::string(kRootArrayElements), n, density, split.tasks.size()};
  } else {
    split.tasks = one_task(split.scan.spans.size());
    split.plan = SplitPlan{std::string(kNoSplit), n, density, 1};
  }
  return split;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Spans and the plan

Span trim_span(std::string_view bytes, std::uint64_t start, std::uint64_t end) {
  end = std::min<std::uint64_t>(end, bytes.size());
  start = std::min(start, end);
  start = scan::skip_space(bytes.substr(0, end), start);
  return Span{start, scan::skip_space_back(bytes, start, end)};
}

std::vector<Span> iter_root_array_element_spans_single(std::string_view bytes, std::uint64_t start,
                                                       std::uint64_t end) {
  const Span span{start, end};
  if (!is_container(bytes, span, '[', ']')) return {};
  const ScanDepths depths = root_depths(false);
  return container_from_interior(bytes, span,
                                 scan_interior_serial(bytes, start + 1, end - 1, depths, depths),
                                 false)
      .spans;
}

std::vector<Span> iter_root_object_pair_spans_single(std::string_view bytes, std::uint64_t start,
                                                     std::uint64_t end) {
  const Span span{start, end};
  if (!is_container(bytes, span, '{', '}')) return {};
  const ScanDepths depths = root_depths(true);
  return container_from_interior(bytes, span,
                                 scan_interior_serial(bytes, start + 1, end - 1, depths, depths),
                                 false)
      .spans;
}

std::vector<Span> spans_from_commas(std::string_view bytes, std::uint64_t start,
                                    std::uint64_t end, const std::vector<std::uint64_t>& commas) {
  if (end > bytes.size() || start + 2 > end) return {};
  ContainerScan cs;
  spans_between_commas(bytes, Span{start, end}, commas, nullptr, 0, cs);
  return std::move(cs.spans);
}

Result<PairSpans> iter_root_object_pair_spans(std::string_view bytes, std::uint64_t start,
                                              std::uint64_t end, const RepairOptions& options,
                                              bool force_sequential,
                                              const ThreadStarter& start_thread) {
  const ScaleContext ctx = make_context(bytes, options, start_thread);
  auto scan = scan_container(ctx, Span{start, end}, true, force_sequential);
  if (!scan) return std::move(scan).error();
  return PairSpans{std::move(scan.value().spans), scan.value().used_parallel_scan};
}

std::vector<TaskRange> group_tasks(const std::vector<Span>& spans, const RepairOptions& options) {
  const std::uint64_t target = std::max<std::uint64_t>(options.parallel_chunk_bytes, kMinTaskBytes);
  std::vector<TaskRange> tasks;
  std::size_t first = 0;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    total += length_of(spans[i]);
    if (total >= target) {
      tasks.push_back(TaskRange{first, i + 1 - first});
      first = i + 1;
      total = 0;
    }
  }
  if (first < spans.size()) tasks.push_back(TaskRange{first, spans.size() - first});
  return tasks;
}

bool split_decision(const RepairOptions& options, std::uint64_t length, std::uint64_t n,
                    double density) {
  bool split = false;
  switch (allow_parallel_bool(options.allow_parallel)) {
    case ParallelSetting::automatic:
      split = length >= options.parallel_threshold_bytes &&
              n >= options.min_elements_for_parallel && density >= options.density_threshold;
      break;
    case ParallelSetting::on:
      split = true;
      break;
    case ParallelSetting::off:
      split = false;
      break;
  }
  return split && n > 1;
}

Result<RootArraySplit> root_array_split_plan(std::string_view bytes, std::uint64_t start,
                                             std::uint64_t end, const RepairOptions& options,
                                             bool force_sequential,
                                             const ThreadStarter& start_thread) {
  const ScaleContext ctx = make_context(bytes, options, start_thread);
  auto split = array_split(ctx, Span{start, end}, force_sequential);
  if (!split) return std::move(split).error();
  ArraySplit& s = split.value();
  return RootArraySplit{std::move(s.plan), std::move(s.scan.spans), std::move(s.tasks),
                        s.scan.used_parallel_scan};
}

std::optional<std::pair<Span, Span>> extract_object_key_span_and_value_span(
    std::string_view bytes, std::uint64_t start, std::uint64_t end) {
  end = std::min<std::uint64_t>(end, bytes.size());
  const std::string_view member = bytes.substr(0, end);
  std::uint64_t i = scan::skip_space(member, start);
  if (i >= end || bytes[i] != '"' || i + 1 >= end) return std::nullopt;
  const std::uint64_t key_start = i;
  i = scan::string_close<'"'>(member.data(), i + 1, end);
  if (i >= end) return std::nullopt;
  const Span key{key_start, i + 1};
  i = scan::skip_space(member, i + 1);
  if (i >= end || bytes[i] != ':') return std::nullopt;
  const Span value = trim_span(bytes, i + 1, end);
  if (value.start >= value.end) return std::nullopt;
  return std::make_pair(key, value);
}

// ---------------------------------------------------------------------------------------------
// Value path

namespace {

// A value that sits inside `outer` containers of the whole document is parsed wrapped in that
// many brackets, so that the nesting bound applies at its true depth; the wrapping is peeled
// off again. Only the nested-key split parses at an outer depth, and it drops its errors, so
// positions shifted by the wrapping are never reported.
JsonValue unwrap(JsonValue&& value, std::size_t outer) {
  JsonValue v = std::move(value);
  for (std::size_t i = 0; i < outer; ++i) {
    JsonValue inner = std::move(v.as_array().front());
    v = std::move(inner);
  }
  return v;
}

// The whole-span parse of the root span `text`.
Result<JsonValue> parse_whole_span(std::string_view text, std::size_t outer) {
  if (auto bad = validate_utf8(text)) return prefixed("invalid utf-8: ", std::move(*bad));
  if (outer == 0) {
    auto parsed = parse_strict_json(text);
    if (!parsed) return prefixed_at("strict parse failed: ", std::move(parsed).error());
    return std::move(parsed).value();
  }
  std::string wrapped;
  wrapped.reserve(text.size() + 2 * outer);
  wrapped.append(outer, '[');
  wrapped.append(text);
  wrapped.append(outer, ']');
  auto parsed = parse_strict_json(wrapped);
  if (!parsed) return prefixed_at("strict parse failed: ", std::move(parsed).error());
  return unwrap(std::move(parsed).value(), outer);
}

// The task payload "[" span "," span ... "]" (or with braces), parsed strictly: the array or
// object itself.
Result<JsonValue> parse_task_payload(std::string_view bytes, const std::vector<Span>& spans,
                                     TaskRange task, bool object, std::size_t outer) {
  std::size_t size = 2 + 2 * outer;
  for (std::size_t i = 0; i < task.count; ++i) size += length_of(spans[task.first + i]) + 1;
  std::string payload;
  payload.reserve(size);
  payload.append(outer, '[');
  payload.push_back(object ? '{' : '[');
  for (std::size_t i = 0; i < task.count; ++i) {
    if (i > 0) payload.push_back(',');
    payload.append(slice(bytes, spans[task.first + i]));
  }
  payload.push_back(object ? '}' : ']');
  payload.append(outer, ']');
  if (auto bad = validate_utf8(payload)) {
    return prefixed("invalid utf-8 in task payload: ", std::move(*bad));
  }
  auto parsed = parse_strict_json(payload);
  if (!parsed) {
    return prefixed_at("strict parse failed in task payload: ", std::move(parsed).error());
  }
  return unwrap(std::move(parsed).value(), outer);
}

// Parses the tasks on worker threads and concatenates their elements (or members) in task order.
template <typename Items>
Result<Items> parse_tasks_parallel(const ScaleContext& ctx, const std::vector<Span>& spans,
                                   const std::vector<TaskRange>& tasks, std::size_t workers,
                                   bool object, std::size_t outer) {
  if (tasks.empty()) return Items{};
  const std::size_t threads = std::min(std::max<std::size_t>(workers, 1), tasks.size());
  SlotTable<Items> slots(tasks.size());
  WorkCounter counter(tasks.size());
  auto worker = [&]() -> WorkerOutcome {
    while (auto k = counter.next()) {
      auto parsed = parse_task_payload(ctx.bytes, spans, tasks[*k], object, outer);
      if (!parsed) return std::move(parsed).error();
      JsonValue& value = parsed.value();
      if constexpr (std::is_same_v<Items, JsonObject>) {
        slots.store(*k, std::move(value.as_object()));
      } else {
        slots.store(*k, std::move(value.as_array()));
      }
    }
    return std::nullopt;
  };
  if (auto error = run_worker_pass(threads, worker, ctx.start_thread)) return std::move(*error);
  std::vector<std::optional<Items>> results = slots.take();
  std::size_t total = 0;
  for (const auto& r : results) total += r ? r->size() : 0;
  Items all;
  all.reserve(total);
  for (auto& r : results) {
    if (!r) continue;
    for (auto& item : *r) all.push_back(std::move(item));
    r.reset();
  }
  return all;
}

ScaleValueResult value_result(JsonValue value, SplitPlan plan) {
  return std::make_pair(std::move(value), std::move(plan));
}

ScaleValueResult whole_span_result(const ScaleContext& ctx, const Span& root, SplitPlan plan,
                                   std::size_t outer) {
  // The caller's parser reads the whole document; a failure is reported by the parse below.
  if (ctx.whole != nullptr && outer == 0 && ctx.whole->parse(slice(ctx.bytes, root))) {
    return value_result(JsonValue(), std::move(plan));
  }
  auto value = parse_whole_span(slice(ctx.bytes, root), outer);
  if (!value) return std::move(value).error();
  return value_result(std::move(value).value(), std::move(plan));
}

ScaleValueResult scale_value(const ScaleContext& ctx, std::size_t outer);

ScaleValueResult value_root_array(const ScaleContext& ctx, const Span& root, std::size_t outer) {
  auto first = array_split(ctx, root, false);
  if (!first) return std::move(first).error();
  ArraySplit& split = first.value();
  // Empty elements make the document invalid; the whole-span parse says where.
  if (split.plan.mode == kNoSplit || split.scan.empty_element) {
    return whole_span_result(ctx, root, std::move(split.plan), outer);
  }
  const std::size_t workers = std::max<std::size_t>(ctx.workers, 1);
  auto items = parse_tasks_parallel<JsonArray>(ctx, split.scan.spans, split.tasks, workers, false, outer);
  if (items) return value_result(JsonValue::array(std::move(items).value()), std::move(split.plan));
  if (is_thread_start_failure(items.error()) || !split.scan.used_parallel_scan) {
    return std::move(items).error();
  }
  // The spans came from the parallel scan: retry once with single-threaded spans.
  auto second = array_split(ctx, root, true);
  if (!second) return std::move(second).error();
  ArraySplit& retry = second.value();
  if (retry.plan.mode == kNoSplit || retry.scan.empty_element) {
    return whole_span_result(ctx, root, std::move(retry.plan), outer);
  }
  auto again = parse_tasks_parallel<JsonArray>(ctx, retry.scan.spans, retry.tasks, workers, false, outer);
  if (!again) return std::move(again).error();
  return value_result(JsonValue::array(std::move(again).value()), std::move(retry.plan));
}

// The members of a split root object.
ScaleValueResult value_object_split(const ScaleContext& ctx, const Span& root,
                                    const ContainerScan& scan, double density,
                                    std::size_t outer) {
  const std::vector<TaskRange> tasks = group_tasks(scan.spans, ctx.options);
  SplitPlan plan{std::string(kRootObjectPairs), scan.spans.size(), density, tasks.size()};
  if (scan.empty_element) return whole_span_result(ctx, root, std::move(plan), outer);
  auto members = parse_tasks_parallel<JsonObject>(ctx, scan.spans, tasks,
                                                  std::max<std::size_t>(ctx.workers, 1), true, outer);
  if (!members) return std::move(members).error();
  return value_result(JsonValue::object(std::move(members).value()), std::move(plan));
}

// The nested-key split: the first member whose key is one of scale_target_keys and whose value
// is a container is parsed by a scale parse of its own. Nothing (the attempt is given up) when
// no member qualifies or any step fails; only a failed thread start is passed on.
std::optional<ScaleValueResult> nested_key_split(const ScaleContext& ctx,
                                                 const ContainerScan& scan, std::size_t outer) {
  const std::vector<std::string>& targets = *ctx.options.scale_target_keys;
  std::optional<std::size_t> chosen;
  std::string key;
  Span value;
  for (std::size_t i = 0; i < scan.spans.size() && !chosen; ++i) {
    const auto parts = extract_object_key_span_and_value_span(ctx.bytes, scan.spans[i].start,
                                                              scan.spans[i].end);
    if (!parts) return std::nullopt;
    const std::string_view key_text = slice(ctx.bytes, parts->first);
    if (!is_valid_utf8(key_text)) return std::nullopt;
    auto decoded = parse_strict_json(key_text);
    if (!decoded || !decoded.value().is_string()) return std::nullopt;
    const std::string_view name = decoded.value().as_string();
    if (std::find(targets.begin(), targets.end(), name) == targets.end()) continue;
    const char first = ctx.bytes[parts->second.start];
    if (first != '[' && first != '{') continue;
    chosen = i;
    key = std::string(name);
    value = parts->second;
  }
  if (!chosen) return std::nullopt;

  // One level only: the nested parse gets no target keys of its own.
  RepairOptions inner_options = ctx.options.clone();
  inner_options.scale_target_keys.reset();
  const ScaleContext inner{slice(ctx.bytes, value), inner_options, ctx.start_thread, ctx.setting,
                           ctx.workers, nullptr};
  auto nested = scale_value(inner, outer + 1);
  if (!nested) {
    if (is_thread_start_failure(nested.error())) return std::move(nested).error();
    return std::nullopt;
  }
  JsonObject members;
  members.reserve(scan.spans.size());
  for (std::size_t i = 0; i < scan.spans.size(); ++i) {
    if (i == *chosen) {
      members.push_back(JsonMember{key, std::move(nested.value().first)});
      continue;
    }
    auto member = parse_task_payload(ctx.bytes, scan.spans, TaskRange{i, 1}, true, outer);
    if (!member) return std::nullopt;
    for (JsonMember& m : member.value().as_object()) members.push_back(std::move(m));
  }
  SplitPlan plan = std::move(nested.value().second);
  plan.mode = "NESTED_KEY(" + key + ")." + plan.mode;
  return value_result(JsonValue::object(std::move(members)), std::move(plan));
}

ScaleValueResult value_root_object(const ScaleContext& ctx, const Span& root, std::size_t outer) {
  auto first = scan_container(ctx, root, true, false);
  if (!first) return std::move(first).error();
  const ContainerScan& scan = first.value();
  if (ctx.options.scale_target_keys && !ctx.options.scale_target_keys->empty()) {
    if (auto nested = nested_key_split(ctx, scan, outer)) return std::move(*nested);
  }
  const double density = scan.density(root);
  const std::uint64_t n = scan.spans.size();
  if (!split_decision(ctx.options, length_of(root), n, density)) {
    return whole_span_result(ctx, root, SplitPlan{std::string(kNoSplit), n, density, 1}, outer);
  }
  auto result = value_object_split(ctx, root, scan, density, outer);
  if (result || is_thread_start_failure(result.error()) || !scan.used_parallel_scan) return result;
  // The spans came from the parallel scan: decide again on single-threaded spans.
  auto second = scan_container(ctx, root, true, true);
  if (!second) return std::move(second).error();
  const ContainerScan& retry = second.value();
  const std::uint64_t n2 = retry.spans.size();
  if (split_decision(ctx.options, length_of(root), n2, density)) {
    return value_object_split(ctx, root, retry, density, outer);
  }
  return whole_span_result(ctx, root, SplitPlan{std::string(kNoSplit), n2, density, 1}, outer);
}

// Whether the route parses the document whole whatever its scan would find: splitting is off, or
// automatic and the document below the size threshold, and no member is a split target.
bool whole_by_size(const ScaleContext& ctx, const Span& root) {
  if (ctx.options.scale_target_keys && !ctx.options.scale_target_keys->empty()) return false;
  return ctx.setting == ParallelSetting::off ||
         (ctx.setting == ParallelSetting::automatic &&
          length_of(root) < ctx.options.parallel_threshold_bytes);
}

// A document read whole by the caller's parser without scanning it first: its plan is the one
// the scan would have given, counted by the parse.
std::optional<ScaleValueResult> read_whole_unscanned(const ScaleContext& ctx, const Span& root) {
  if (ctx.whole == nullptr || !whole_by_size(ctx, root)) return std::nullopt;
  const auto shape = ctx.whole->parse(slice(ctx.bytes, root));
  if (!shape) return std::nullopt;
  const double density = static_cast<double>(shape->structural) /
                         static_cast<double>(std::max<std::uint64_t>(length_of(root), 1));
  return value_result(JsonValue(),
                      SplitPlan{std::string(kNoSplit), shape->root_elements, density, 1});
}

ScaleValueResult scale_value(const ScaleContext& ctx, std::size_t outer) {
  const Span root = root_span(ctx.bytes);
  if (outer == 0) {
    if (auto whole = read_whole_unscanned(ctx, root)) return std::move(*whole);
  }
  if (is_container(ctx.bytes, root, '[', ']')) return value_root_array(ctx, root, outer);
  if (is_container(ctx.bytes, root, '{', '}')) return value_root_object(ctx, root, outer);
  return whole_span_result(ctx, root, SplitPlan{std::string(kNoSplit), 0, 0.0, 1}, outer);
}

}  // namespace

Result<JsonArray> parse_task_bytes(std::string_view bytes, const std::vector<Span>& spans) {
  auto parsed = parse_task_payload(bytes, spans, TaskRange{0, spans.size()}, false, 0);
  if (!parsed) return std::move(parsed).error();
  return std::move(parsed.value().as_array());
}

Result<JsonObject> parse_object_pair_task_bytes(std::string_view bytes,
                                                const std::vector<Span>& spans) {
  auto parsed = parse_task_payload(bytes, spans, TaskRange{0, spans.size()}, true, 0);
  if (!parsed) return std::move(parsed).error();
  return std::move(parsed.value().as_object());
}

ScaleValueResult parse_root_array_scale(std::string_view bytes, const RepairOptions& options,
                                        const ThreadStarter& start_thread) {
  return scale_value(make_context(bytes, options, start_thread), 0);
}

ScaleValueResult parse_root_array_scale(std::string_view bytes, const RepairOptions& options) {
  return parse_root_array_scale(bytes, options, ThreadStarter{});
}

ScaleValueResult parse_root_array_scale(std::string_view bytes, const RepairOptions& options,
                                        WholeDocumentParser& whole) {
  const ThreadStarter start_thread;
  return scale_value(make_context(bytes, options, start_thread, &whole), 0);
}

// ---------------------------------------------------------------------------------------------
// Tape path

namespace {

Error tape_failure(TapeError error) { return prefixed_at("tape parse failed: ", std::move(error)); }

// Where a piece's entries go: the growable tail of a vector that only the calling thread
// touches, or a fixed window entries[pos, limit) of a vector that several workers fill.
struct TapeSink {
  TapeEntries& entries;
  std::size_t pos;
  std::size_t limit;
  bool growable;

  static TapeSink tail(TapeEntries& entries) {
    return TapeSink{entries, entries.size(), 0, true};
  }

  void rollback(std::size_t mark) {
    pos = mark;
    if (growable) entries.resize(mark);
  }

  // Room for n entries written in place later (in parallel): their first index, or nothing
  // when a window is too small.
  std::optional<std::size_t> claim(std::size_t n) {
    const std::size_t first = pos;
    if (growable) {
      entries.resize(first + n);
    } else if (limit - pos < n) {
      return std::nullopt;
    }
    pos = first + n;
    return first;
  }

  bool put(TapeEntryKind kind, std::uint64_t offset) {
    auto at = claim(1);
    if (!at) return false;
    entries[*at] = TapeEntry{kind, offset, 1, 0};
    return true;
  }
};

// The strict tape parse of bytes[span] (a value, or a member when `member`) into the sink.
std::optional<Error> tape_strict(const ScaleContext& ctx, const Span& span,
                                       std::size_t outer, TapeSink& sink, bool member = false) {
  const std::string_view text = slice(ctx.bytes, span);
  if (sink.growable) {
    auto error = member ? append_object_pair_segment(text, span.start, outer, sink.entries)
                        : append_strict_tape(text, span.start, outer, sink.entries);
    sink.pos = sink.entries.size();
    if (error) return tape_failure(std::move(*error));
    return std::nullopt;
  }
  auto written = member ? write_object_pair_segment(text, span.start, outer, sink.entries,
                                                    sink.pos, sink.limit)
                        : write_strict_tape(text, span.start, outer, sink.entries, sink.pos,
                                            sink.limit);
  if (written) {
    sink.pos = written.value();
    return std::nullopt;
  }
  if (written.error().code != ErrorCode::tape_window_overflow) {
    return tape_failure(std::move(written).error());
  }
  // Only invalid text outgrows its counted window: parse it apart to find its real error.
  TapeEntries scratch;
  auto error = member ? append_object_pair_segment(text, span.start, outer, scratch)
                      : append_strict_tape(text, span.start, outer, scratch);
  if (error) return tape_failure(std::move(*error));
  return entry_count_mismatch();
}

// Whether a span at nesting `depth` is a container large enough to be split on its own.
bool span_qualifies(const ScaleContext& ctx, const Span& span, std::size_t depth) {
  if (span.start >= span.end || depth > kMaxSplitDepth) return false;
  const bool large = ctx.setting == ParallelSetting::on ||
                     (ctx.setting == ParallelSetting::automatic &&
                      length_of(span) >= ctx.options.parallel_threshold_bytes);
  return large && (is_container(ctx.bytes, span, '[', ']') || is_container(ctx.bytes, span, '{', '}'));
}

bool member_qualifies(const ScaleContext& ctx, const Span& member, std::size_t depth) {
  const auto parts = extract_object_key_span_and_value_span(ctx.bytes, member.start, member.end);
  if (!parts || depth > kMaxSplitDepth) return false;
  return span_qualifies(ctx, parts->second, depth);
}

std::optional<Error> tape_value(const ScaleContext& ctx, const Span& span, std::size_t depth,
                                      TapeSink& sink, const ContainerScan* known);

// One member as its key's entry and its value's entries, the value split where it is large.
std::optional<Error> tape_member_split(const ScaleContext& ctx, const Span& member,
                                             std::size_t depth, TapeSink& sink) {
  const auto parts = extract_object_key_span_and_value_span(ctx.bytes, member.start, member.end);
  if (!parts) {
    return Error{ErrorCode::invalid_json, member.start, "failed to extract object pair spans"};
  }
  const std::size_t mark = sink.pos;
  if (auto error = tape_strict(ctx, parts->first, depth, sink)) {
    sink.rollback(mark);
    return error;
  }
  // A failed value has already fallen back to its strict parse; that error is the answer.
  if (auto error = tape_value(ctx, parts->second, depth, sink, nullptr)) {
    sink.rollback(mark);
    return error;
  }
  return std::nullopt;
}

std::optional<Error> tape_member(const ScaleContext& ctx, const Span& member,
                                       std::size_t depth, TapeSink& sink) {
  if (member_qualifies(ctx, member, depth)) {
    auto error = tape_member_split(ctx, member, depth, sink);
    if (!error || is_thread_start_failure(*error)) return error;
    return tape_strict(ctx, member, depth, sink, true);
  }
  auto error = tape_strict(ctx, member, depth, sink, true);
  if (!error) return std::nullopt;
  return tape_member_split(ctx, member, depth, sink);
}

// One piece of a container: an element (parsed at the container's depth + 1; a failed split
// of it has already fallen back to its strict parse) or a member.
std::optional<Error> tape_piece(const ScaleContext& ctx, const Span& span, bool object,
                                      std::size_t depth, TapeSink& sink) {
  if (object) return tape_member(ctx, span, depth + 1, sink);
  return tape_value(ctx, span, depth + 1, sink, nullptr);
}

// The container `span` with its pieces parsed one after another into the sink.
std::optional<Error> tape_container_sequential(const ScaleContext& ctx, const Span& span,
                                                     const ContainerScan& scan, bool object,
                                                     std::size_t depth, TapeSink& sink) {
  const std::size_t start = sink.pos;
  if (!sink.put(object ? TapeEntryKind::ObjectStart : TapeEntryKind::ArrayStart, span.start)) {
    return entry_count_mismatch();
  }
  for (const Span& piece : scan.spans) {
    if (auto error = tape_piece(ctx, piece, object, depth, sink)) return error;
  }
  const std::size_t end = sink.pos;
  if (!sink.put(object ? TapeEntryKind::ObjectEnd : TapeEntryKind::ArrayEnd, span.end - 1)) {
    return entry_count_mismatch();
  }
  sink.entries[start].payload = end;
  return std::nullopt;
}

// The container `span` with its tasks parsed on worker threads, each into its own window.
std::optional<Error> tape_container_parallel(const ScaleContext& ctx, const Span& span,
                                                   const ContainerScan& scan,
                                                   const std::vector<TaskRange>& tasks,
                                                   bool object, std::size_t workers,
                                                   std::size_t depth, TapeSink& sink) {
  // Task k fills entries [base + window[k], base + window[k + 1]); index 0 is the start entry.
  std::vector<std::size_t> window;
  window.reserve(tasks.size() + 1);
  std::size_t next = 1;
  window.push_back(next);
  for (const TaskRange& task : tasks) {
    for (std::size_t i = 0; i < task.count; ++i) next += scan.entries[task.first + i];
    window.push_back(next);
  }
  const std::size_t total = scan.total_entries;
  if (window.back() + 1 != total) return entry_count_mismatch();
  const auto base = sink.claim(total);
  if (!base) return entry_count_mismatch();
  TapeEntries& entries = sink.entries;
  entries[*base] = TapeEntry{object ? TapeEntryKind::ObjectStart : TapeEntryKind::ArrayStart,
                             span.start, 1, *base + total - 1};
  entries[*base + total - 1] =
      TapeEntry{object ? TapeEntryKind::ObjectEnd : TapeEntryKind::ArrayEnd, span.end - 1, 1, 0};
  if (tasks.empty()) return std::nullopt;

  const std::size_t threads = std::min(std::max<std::size_t>(workers, 1), tasks.size());
  SlotTable<std::size_t> written(tasks.size());
  WorkCounter counter(tasks.size());
  auto worker = [&]() -> WorkerOutcome {
    while (auto k = counter.next()) {
      TapeSink own{entries, *base + window[*k], *base + window[*k + 1], false};
      const TaskRange& task = tasks[*k];
      for (std::size_t i = 0; i < task.count; ++i) {
        if (auto error = tape_piece(ctx, scan.spans[task.first + i], object, depth, own)) {
          return error;
        }
      }
      if (own.pos != own.limit) return entry_count_mismatch();
      written.store(*k, own.pos - (*base + window[*k]));
    }
    return std::nullopt;
  };
  return run_worker_pass(threads, worker, ctx.start_thread);
}

bool any_piece_qualifies(const ScaleContext& ctx, const ContainerScan& scan, bool object,
                         std::size_t depth) {
  return std::any_of(scan.spans.begin(), scan.spans.end(), [&](const Span& piece) {
    return object ? member_qualifies(ctx, piece, depth + 1) : span_qualifies(ctx, piece, depth + 1);
  });
}

// Whether a nested object span is split: the automatic reading needs size, members and density
// (the array rule, without the member count test).
bool nested_object_split(const ScaleContext& ctx, const Span& span, const ContainerScan& scan) {
  if (ctx.setting != ParallelSetting::automatic) return ctx.setting == ParallelSetting::on;
  return length_of(span) >= ctx.options.parallel_threshold_bytes &&
         scan.spans.size() >= ctx.options.min_elements_for_parallel &&
         scan.density(span) >= ctx.options.density_threshold;
}

// A container inside the document (or the root when it was not split at the top): split when
// the plan says so, else parsed piece by piece if some piece is itself worth splitting, else
// strictly. Every failure of a split ends in the strict parse of the whole span.
std::optional<Error> tape_container(const ScaleContext& ctx, const Span& span, bool object,
                                          std::size_t depth, TapeSink& sink,
                                          const ContainerScan* known) {
  ContainerScan local;
  if (known == nullptr) {
    auto scan = scan_container(ctx, span, object, false);
    if (!scan) return std::move(scan).error();
    local = std::move(scan.value());
    known = &local;
  }
  const ContainerScan& scan = *known;
  if (scan.empty_element) return tape_strict(ctx, span, depth, sink);
  const bool split = object ? nested_object_split(ctx, span, scan) && scan.spans.size() >= 2
                            : split_decision(ctx.options, length_of(span), scan.spans.size(),
                                             scan.density(span));
  const std::vector<TaskRange> tasks =
      split ? group_tasks(scan.spans, ctx.options) : one_task(scan.spans.size());
  const bool parallel = ctx.workers >= 2 && split && (object || tasks.size() >= 2);
  const std::size_t mark = sink.pos;

  // A way ends the work when it succeeded or a thread could not be started; otherwise its
  // partial output is dropped and the next way is tried.
  auto conclusive = [&](const std::optional<Error>& error) {
    if (!error || is_thread_start_failure(*error)) return true;
    sink.rollback(mark);
    return false;
  };

  if (!parallel) {
    if (any_piece_qualifies(ctx, scan, object, depth)) {
      auto error = tape_container_sequential(ctx, span, scan, object, depth, sink);
      if (conclusive(error)) return error;
    }
    return tape_strict(ctx, span, depth, sink);
  }
  auto error = tape_container_parallel(ctx, span, scan, tasks, object, ctx.workers, depth, sink);
  if (conclusive(error)) return error;
  if (scan.used_parallel_scan) {
    auto rescan = scan_container(ctx, span, object, true);
    if (rescan && !rescan.value().empty_element) {
      const ContainerScan& retry = rescan.value();
      // Arrays decide again on the new spans; objects keep the decision and regroup.
      const bool split2 = object || split_decision(ctx.options, length_of(span),
                                                   retry.spans.size(), retry.density(span));
      const std::vector<TaskRange> tasks2 =
          split2 ? group_tasks(retry.spans, ctx.options) : one_task(retry.spans.size());
      auto again = (!object && (!split2 || tasks2.size() < 2))
                       ? tape_container_sequential(ctx, span, retry, object, depth, sink)
                       : tape_container_parallel(ctx, span, retry, tasks2, object, ctx.workers,
                                                 depth, sink);
      if (conclusive(again)) return again;
    }
  }
  return tape_strict(ctx, span, depth, sink);
}

std::optional<Error> tape_value(const ScaleContext& ctx, const Span& span, std::size_t depth,
                                      TapeSink& sink, const ContainerScan* known) {
  const Span s = trim_span(ctx.bytes, span.start, span.end);
  if (s.start >= s.end) return Error{ErrorCode::invalid_json, s.start, "empty value span"};
  if (depth > kMaxSplitDepth || ctx.setting == ParallelSetting::off ||
      (ctx.setting == ParallelSetting::automatic &&
       length_of(s) < ctx.options.parallel_threshold_bytes)) {
    return tape_strict(ctx, s, depth, sink);
  }
  if (is_container(ctx.bytes, s, '[', ']')) return tape_container(ctx, s, false, depth, sink, known);
  if (is_container(ctx.bytes, s, '{', '}')) return tape_container(ctx, s, true, depth, sink, known);
  return tape_strict(ctx, s, depth, sink);
}

ScaleTapeResult tape_result(Tape&& tape, SplitPlan plan) {
  return std::make_pair(std::move(tape), std::move(plan));
}

// A split of the root that failed: its error, unless it is an entry count disagreement (which
// valid text never causes), in which case the strict parse of the root decides.
ScaleTapeResult split_failure(const ScaleContext& ctx, const Span& root, Error error,
                              Tape& tape, SplitPlan plan) {
  if (error.code != ErrorCode::entry_count_mismatch) return error;
  TapeSink sink = TapeSink::tail(tape.entries);
  sink.rollback(0);
  if (auto strict = tape_strict(ctx, root, 0, sink)) return std::move(*strict);
  return tape_result(std::move(tape), std::move(plan));
}

ScaleTapeResult tape_root_array(const ScaleContext& ctx, const Span& root) {
  auto first = array_split(ctx, root, false);
  if (!first) return std::move(first).error();
  ArraySplit& split = first.value();
  Tape tape;
  tape.data_span = root;
  tape.entries.reserve(split.scan.total_entries);
  TapeSink sink = TapeSink::tail(tape.entries);
  if (split.plan.mode == kNoSplit) {
    if (auto error = tape_value(ctx, root, 0, sink, &split.scan)) return std::move(*error);
    return tape_result(std::move(tape), std::move(split.plan));
  }
  const std::size_t workers = std::max<std::size_t>(ctx.workers, 1);
  auto error = split.scan.empty_element
                   ? tape_strict(ctx, root, 0, sink)
                   : tape_container_parallel(ctx, root, split.scan, split.tasks, false, workers, 0, sink);
  if (!error) return tape_result(std::move(tape), std::move(split.plan));
  if (is_thread_start_failure(*error) || !split.scan.used_parallel_scan) {
    return split_failure(ctx, root, std::move(*error), tape, std::move(split.plan));
  }
  // The spans came from the parallel scan: retry once with single-threaded spans.
  sink.rollback(0);
  auto second = array_split(ctx, root, true);
  if (!second) return std::move(second).error();
  ArraySplit& retry = second.value();
  if (retry.plan.mode == kNoSplit) {
    if (auto again = tape_value(ctx, root, 0, sink, &retry.scan)) return std::move(*again);
    return tape_result(std::move(tape), std::move(retry.plan));
  }
  auto again = retry.scan.empty_element
                   ? tape_strict(ctx, root, 0, sink)
                   : tape_container_parallel(ctx, root, retry.scan, retry.tasks, false, workers, 0, sink);
  if (!again) return tape_result(std::move(tape), std::move(retry.plan));
  return split_failure(ctx, root, std::move(*again), tape, std::move(retry.plan));
}

ScaleTapeResult tape_root_object(const ScaleContext& ctx, const Span& root) {
  auto first = scan_container(ctx, root, true, false);
  if (!first) return std::move(first).error();
  const ContainerScan& scan = first.value();
  const double density = scan.density(root);
  const std::uint64_t n = scan.spans.size();
  Tape tape;
  tape.data_span = root;
  tape.entries.reserve(scan.total_entries);
  TapeSink sink = TapeSink::tail(tape.entries);
  if (!split_decision(ctx.options, length_of(root), n, density)) {
    if (auto error = tape_value(ctx, root, 0, sink, &scan)) return std::move(*error);
    return tape_result(std::move(tape), SplitPlan{std::string(kNoSplit), n, density, 1});
  }
  const std::size_t workers = std::max<std::size_t>(ctx.workers, 1);
  auto run = [&](const ContainerScan& pieces) -> std::pair<std::optional<Error>, SplitPlan> {
    const std::vector<TaskRange> tasks = group_tasks(pieces.spans, ctx.options);
    SplitPlan plan{std::string(kRootObjectPairs), pieces.spans.size(), density, tasks.size()};
    if (pieces.empty_element) return {tape_strict(ctx, root, 0, sink), std::move(plan)};
    return {tape_container_parallel(ctx, root, pieces, tasks, true, workers, 0, sink),
            std::move(plan)};
  };
  auto [error, plan] = run(scan);
  if (!error) return tape_result(std::move(tape), std::move(plan));
  if (is_thread_start_failure(*error) || !scan.used_parallel_scan) {
    return split_failure(ctx, root, std::move(*error), tape, std::move(plan));
  }
  // The spans came from the parallel scan: rescan single-threaded and decide again.
  sink.rollback(0);
  auto second = scan_container(ctx, root, true, true);
  if (!second) return std::move(second).error();
  const ContainerScan& retry = second.value();
  const std::uint64_t n2 = retry.spans.size();
  if (!split_decision(ctx.options, length_of(root), n2, density)) {
    if (auto again = tape_value(ctx, root, 0, sink, &retry)) return std::move(*again);
    return tape_result(std::move(tape), SplitPlan{std::string(kNoSplit), n2, density, 1});
  }
  auto [again, plan2] = run(retry);
  if (!again) return tape_result(std::move(tape), std::move(plan2));
  return split_failure(ctx, root, std::move(*again), tape, std::move(plan2));
}

ScaleTapeResult scale_tape(const ScaleContext& ctx) {
  const Span root = root_span(ctx.bytes);
  if (root.start >= root.end) {
    // Nothing but white space: the strict parse of the empty remainder says where.
    auto empty = parse_strict_tape(std::string_view(), ctx.bytes.size());
    return empty ? tape_result(std::move(empty).value(), SplitPlan{std::string(kNoSplit), 0, 0.0, 1})
                 : ScaleTapeResult(tape_failure(std::move(empty).error()));
  }
  if (is_container(ctx.bytes, root, '[', ']')) return tape_root_array(ctx, root);
  if (is_container(ctx.bytes, root, '{', '}')) return tape_root_object(ctx, root);
  auto tape = parse_strict_tape(slice(ctx.bytes, root), root.start);
  if (!tape) return tape_failure(std::move(tape).error());
  return tape_result(std::move(tape).value(), SplitPlan{std::string(kNoSplit), 0, 0.0, 1});
}

}  // namespace

Result<TapeEntries> parse_tape_entries_strict(std::string_view bytes, std::uint64_t start,
                                              std::uint64_t end) {
  end = std::min<std::uint64_t>(end, bytes.size());
  start = std::min(start, end);
  auto tape = parse_strict_tape(bytes.substr(start, end - start), start);
  if (!tape) return tape_failure(std::move(tape).error());
  return std::move(tape.value().entries);
}

Result<TapeEntries> parse_value_scale_tape(std::string_view bytes, std::uint64_t start,
                                           std::uint64_t end, const RepairOptions& options,
                                           std::size_t depth) {
  const ThreadStarter start_thread;
  const ScaleContext ctx = make_context(bytes, options, start_thread);
  TapeEntries entries;
  TapeSink sink = TapeSink::tail(entries);
  end = std::min<std::uint64_t>(end, bytes.size());
  if (auto error = tape_value(ctx, Span{std::min(start, end), end}, depth, sink, nullptr)) {
    return std::move(*error);
  }
  return entries;
}

bool should_recurse_pair_value(std::string_view bytes, std::uint64_t start, std::uint64_t end,
                               const RepairOptions& options, std::size_t depth) {
  const ThreadStarter start_thread;
  const ScaleContext ctx = make_context(bytes, options, start_thread);
  return member_qualifies(ctx, Span{start, std::min<std::uint64_t>(end, bytes.size())}, depth);
}

ScaleTapeResult parse_root_array_scale_tape(std::string_view bytes, const RepairOptions& options,
                                            const ThreadStarter& start_thread) {
  return scale_tape(make_context(bytes, options, start_thread));
}

ScaleTapeResult parse_root_array_scale_tape(std::string_view bytes, const RepairOptions& options) {
  return parse_root_array_scale_tape(bytes, options, ThreadStarter{});
}

}  // namespace velvin
