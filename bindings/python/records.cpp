#include "records.hpp"

#include <string>
#include <utility>

#include "convert.hpp"

namespace velvin::py {

namespace {

// A new tuple or list (start, end); made directly rather than through a format string, since a
// flood of repairs makes millions.
template <PyObject* (*Make)(Py_ssize_t), int (*Set)(PyObject*, Py_ssize_t, PyObject*)>
PyObject* span_pair(const Span& span) {
  PyRef start(new_uint(span.start));
  PyRef end(new_uint(span.end));
  if (!start || !end) return nullptr;
  PyObject* pair = Make(2);
  if (pair == nullptr) return nullptr;
  Set(pair, 0, start.release());  // steals
  Set(pair, 1, end.release());
  return pair;
}

}  // namespace

PyObject* span_tuple(const Span& span) { return span_pair<PyTuple_New, PyTuple_SetItem>(span); }

PyObject* optional_uint(const std::optional<std::uint64_t>& v) {
  return v ? new_uint(*v) : new_none();
}

PyObject* optional_str(const std::optional<std::string>& v) { return v ? new_str(*v) : new_none(); }

// What the repair dictionaries of one conversion share: their six key objects, one str per op
// word and per token text, and one float per cost. A flood of repairs (a megabyte of stray quotes
// makes a million) then costs a dictionary each rather than a dozen objects each; notes are
// rendered into one scratch buffer.
class RepairConverter {
 public:
  RepairConverter(const StageTexts& texts, SpanForm span_form)
      : texts_(texts), span_form_(span_form) {
    for (std::size_t i = 0; i < kKeyCount; ++i) {
      keys_[i] = PyRef(PyUnicode_InternFromString(kKeyNames[i]));
      if (!keys_[i]) ok_ = false;
    }
  }
  [[nodiscard]] bool ok() const { return ok_; }

  PyObject* convert(const RepairAction& action) {
    PyRef d(PyDict_New());
    if (!d) return nullptr;
    const std::optional<Span> span = action.span();
    const std::optional<std::string_view> token = action.token();
    if (!set(d.get(), 0, shared_str(words_, action.op_word())) ||
        !set(d.get(), 1, span ? span_object(*span) : new_none()) ||
        !set(d.get(), 2, optional_uint(action.at())) ||
        !set(d.get(), 3, token ? shared_str(tokens_, *token) : new_none()) ||
        !set(d.get(), 4, cost(action.cost_delta)) ||
        !set(d.get(), 5, note(action))) {
      return nullptr;
    }
    return d.release();
  }

 private:
  static constexpr std::size_t kKeyCount = 6;
  static constexpr const char* kKeyNames[kKeyCount] = {"op", "span", "at", "token",
                                                        "cost_delta", "note"};

  // Sets key number `key` to `value`, consuming the new reference `value`.
  bool set(PyObject* dict, std::size_t key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItem(dict, keys_[key].get(), value);
    Py_DECREF(value);
    return rc == 0;
  }

  // A new reference to the str `text`, shared with every other use in this conversion.
  static PyObject* shared_str(KeyMemo& memo, std::string_view text) {
    PyObject* str = memo.get(text);
    if (str == nullptr) return nullptr;
    Py_INCREF(str);
    return str;
  }

  PyObject* span_object(const Span& span) const {
    if (span_form_ == SpanForm::Tuple) return span_tuple(span);
    return span_pair<PyList_New, PyList_SetItem>(span);
  }

  PyObject* note(const RepairAction& action) {
    if (action.note_kind() == NoteKind::None) return new_none();
    note_.clear();
    action.append_note(note_, texts_.text_of(action.origin()));
    return new_str(note_);
  }

  // A new reference to the float `value`, shared with the last repair of the same cost.
  PyObject* cost(double value) {
    if (!last_cost_ || last_cost_value_ != value) {
      last_cost_ = PyRef(PyFloat_FromDouble(value));
      if (!last_cost_) return nullptr;
      last_cost_value_ = value;
    }
    Py_INCREF(last_cost_.get());
    return last_cost_.get();
  }

  const StageTexts& texts_;
  SpanForm span_form_;
  PyRef keys_[kKeyCount];
  KeyMemo words_;
  KeyMemo tokens_;
  std::string note_;
  PyRef last_cost_;
  double last_cost_value_ = 0.0;
  bool ok_ = true;
};

// Containers below this many repairs convert without pausing the collector.
constexpr std::size_t kGcPauseMinRepairs = 64;

// One list: the first `lead` items of the list `lead_list` (the same dicts), then the repairs of
// `first`, then those of `second`.
PyObject* repairs_to_py(const StageTexts& texts, PyObject* lead_list, std::size_t lead,
                        std::span<const RepairAction> first, std::span<const RepairAction> second,
                        SpanForm span_form) {
  RepairConverter converter(texts, span_form);
  if (!converter.ok()) return nullptr;
  const std::size_t made = first.size() + second.size();
  std::optional<GcPause> pause;
  if (made >= kGcPauseMinRepairs) pause.emplace();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(lead + made)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < lead; ++i) {
    PyObject* item = PyList_GetItem(lead_list, static_cast<Py_ssize_t>(i));  // borrowed
    Py_INCREF(item);
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  for (std::size_t i = 0; i < made; ++i) {
    PyObject* item = converter.convert(i < first.size() ? first[i] : second[i - first.size()]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(lead + i), item);
  }
  return list.release();
}

PyObject* repairs_to_py(const StageTexts& texts, std::span<const RepairAction> first,
                        std::span<const RepairAction> second, SpanForm span_form) {
  return repairs_to_py(texts, nullptr, 0, first, second, span_form);
}

// Repairs that lead two candidates' lists alike: the base repairs, which the beam search copies
// into each of its candidates. Their dicts are made once and shared by the lists, so a flood of
// base repairs costs its Python objects once, not once per candidate.
struct SharedLead {
  std::size_t from = 0;   // the earlier list whose dicts are shared
  std::size_t count = 0;  // how many
};

// How many lists just before a list it is compared with, besides the first: every pair of a
// long result (top_k unlimited, thousands of candidates of thousands of repairs) would cost the
// cube of its size, and the lists that share most are the first (the base repairs lead every
// beam candidate) and neighbours in the ranking.
constexpr std::size_t kLeadNeighbours = 4;

// For each list, the earlier list it shares the longest lead with, among the first list and the
// kLeadNeighbours before it.
std::vector<SharedLead> shared_leads(const std::vector<const std::vector<RepairAction>*>& lists) {
  std::vector<SharedLead> leads(lists.size());
  for (std::size_t i = 1; i < lists.size(); ++i) {
    const std::vector<RepairAction>& mine = *lists[i];
    const auto compare_with = [&](std::size_t j) {
      const std::vector<RepairAction>& earlier = *lists[j];
      std::size_t k = 0;
      while (k < mine.size() && k < earlier.size() && mine[k] == earlier[k] &&
             mine[k].origin() == earlier[k].origin()) {
        ++k;
      }
      if (k > leads[i].count) leads[i] = SharedLead{j, k};
    };
    compare_with(0);
    for (std::size_t j = i > kLeadNeighbours ? i - kLeadNeighbours : 1; j < i; ++j) compare_with(j);
  }
  return leads;
}

PyObject* spans_to_py(const std::vector<Span>& spans) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(spans.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    PyObject* item = span_tuple(spans[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* validations_to_py(const CandidateValidations& v) {
  PyRef d(PyDict_New());
  if (!d) return nullptr;
  if (!set_item(d.get(), "strict_json_parse", new_bool(v.strict_json_parse)) ||
      !set_item(d.get(), "schema_match",
                v.schema_match ? PyFloat_FromDouble(*v.schema_match) : new_none())) {
    return nullptr;
  }
  return d.release();
}

PyObject* diagnostics_to_py(const CandidateDiagnostics& v) {
  PyRef d(PyDict_New());
  if (!d) return nullptr;
  if (!set_item(d.get(), "garbage_skipped_bytes", new_uint(v.garbage_skipped_bytes)) ||
      !set_item(d.get(), "deleted_tokens", new_uint(v.deleted_tokens)) ||
      !set_item(d.get(), "inserted_tokens", new_uint(v.inserted_tokens)) ||
      !set_item(d.get(), "close_open_string_count", new_uint(v.close_open_string_count)) ||
      !set_item(d.get(), "beam_width", optional_uint(v.beam_width)) ||
      !set_item(d.get(), "max_repairs", optional_uint(v.max_repairs))) {
    return nullptr;
  }
  return d.release();
}

// `lead_list` and `lead`: repair dicts shared with an earlier candidate (see shared_lead).
PyObject* candidate_to_py(const Candidate& c, const StageTexts& texts, PyObject* lead_list,
                          std::size_t lead) {
  PyRef d(PyDict_New());
  if (!d) return nullptr;
  if (!set_item(d.get(), "candidate_id", new_uint(c.candidate_id)) ||
      !set_item(d.get(), "value", optional_json_to_py(c.value)) ||
      !set_item(d.get(), "normalized_json", optional_str(c.normalized_json)) ||
      !set_item(d.get(), "ir", optional_json_to_py(c.ir)) ||
      !set_item(d.get(), "confidence", PyFloat_FromDouble(c.confidence)) ||
      !set_item(d.get(), "cost", PyFloat_FromDouble(c.cost)) ||
      !set_item(d.get(), "repairs",
                repairs_to_py(texts, lead_list, lead, std::span(c.repairs).subspan(lead), {},
                              SpanForm::Tuple)) ||
      !set_item(d.get(), "validations", validations_to_py(c.validations)) ||
      !set_item(d.get(), "diagnostics", diagnostics_to_py(c.diagnostics)) ||
      !set_item(d.get(), "dropped_spans", spans_to_py(c.dropped_spans))) {
    return nullptr;
  }
  return d.release();
}

// The value of `key` in a repair dict, held (empty when missing or None). False when the
// lookup itself raised. Values are held because reading one may run Python code that changes
// the dict.
bool repair_field(PyObject* dict, const char* key, PyRef& value) {
  value = PyRef();
  PyRef name(PyUnicode_FromString(key));
  if (!name) return false;
  PyObject* found = PyDict_GetItemWithError(dict, name.get());  // borrowed
  if (found == nullptr) return !PyErr_Occurred();
  if (found != Py_None) {
    Py_INCREF(found);
    value = PyRef(found);
  }
  return true;
}

bool read_span_tuple(PyObject* value, std::optional<Span>& out) {
  if (!PyTuple_Check(value)) {
    raise_type_error(not_convertible(value, "PyTuple"));
    return false;
  }
  const Py_ssize_t n = PyTuple_Size(value);
  if (n != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
    return false;
  }
  Span span;
  if (!read_uint(PyTuple_GetItem(value, 0), span.start) ||
      !read_uint(PyTuple_GetItem(value, 1), span.end)) {
    return false;
  }
  out = span;
  return true;
}

// "op" that is missing, None or not usable text is the empty op.
std::string repair_op(PyObject* value) {
  if (value == nullptr || !PyUnicode_Check(value)) return {};
  PyRef holder;
  if (auto text = utf8_of(value, holder)) return std::string(*text);
  PyErr_Clear();  // a lone surrogate
  return {};
}

// "cost_delta" that is missing, None or not convertible to a float costs 0.0.
double repair_cost(PyObject* value) {
  if (value == nullptr) return 0.0;
  return try_double(value).value_or(0.0);
}

// One base repair; "op" and "cost_delta" never fail, the optional fields must have their types.
std::optional<RepairAction> repair_from_py(PyObject* item) {
  if (!PyDict_Check(item)) {
    raise_type_error(not_convertible(item, "PyDict"));
    return std::nullopt;
  }
  PyRef v;
  if (!repair_field(item, "op", v)) return std::nullopt;
  const std::string op = repair_op(v.get());
  if (!repair_field(item, "cost_delta", v)) return std::nullopt;
  RepairAction action = RepairAction::make(op, repair_cost(v.get()));
  if (!repair_field(item, "span", v)) return std::nullopt;
  if (v) {
    std::optional<Span> span;
    if (!read_span_tuple(v.get(), span)) return std::nullopt;
    action.set_span(*span);
  }
  if (!repair_field(item, "at", v)) return std::nullopt;
  if (v) {
    std::uint64_t at = 0;
    if (!read_uint(v.get(), at)) return std::nullopt;
    action.set_at(at);
  }
  std::string text;
  if (!repair_field(item, "token", v)) return std::nullopt;
  if (v) {
    if (!read_text(v.get(), text)) return std::nullopt;
    action.set_token(text);
  }
  if (!repair_field(item, "note", v)) return std::nullopt;
  if (v) {
    if (!read_text(v.get(), text)) return std::nullopt;
    action.set_note(text);
  }
  return action;
}

std::optional<std::vector<RepairAction>> repairs_from_py(PyObject* list) {
  std::vector<RepairAction> repairs;
  if (list == nullptr) return repairs;
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyObject* borrowed = PyList_GetItem(list, i);
    if (borrowed == nullptr) return std::nullopt;
    Py_INCREF(borrowed);
    PyRef item(borrowed);  // reading an item may run Python code that changes the list
    auto action = repair_from_py(item.get());
    if (!action) return std::nullopt;
    repairs.push_back(std::move(*action));
  }
  return repairs;
}

PyObject* candidates_to_py(const std::vector<Candidate>& candidates, const StageTexts& texts) {
  std::vector<const std::vector<RepairAction>*> repairs;
  for (const Candidate& c : candidates) repairs.push_back(&c.repairs);
  const std::vector<SharedLead> leads = shared_leads(repairs);
  PyRef list(PyList_New(static_cast<Py_ssize_t>(candidates.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    PyObject* lead_list = nullptr;  // borrowed
    if (leads[i].count > 0) {
      lead_list = PyDict_GetItemString(PyList_GetItem(list.get(), leads[i].from), "repairs");
    }
    PyObject* item = candidate_to_py(candidates[i], texts, lead_list, leads[i].count);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* preprocess_to_py(const Extraction& extraction, HeuristicResult&& repaired,
                           const std::optional<std::uint64_t>& error_pos) {
  StageTexts texts;  // what the heuristic's notes are built from
  texts.heuristic = std::move(repaired.pass_texts);
  PyRef d(PyDict_New());
  if (!d) return nullptr;
  if (!set_item(d.get(), "extracted_span", span_tuple(extraction.span)) ||
      !set_item(d.get(), "extracted_text", new_str(extraction.text)) ||
      !set_item(d.get(), "repaired_text", new_str(repaired.text)) ||
      !set_item(d.get(), "truncated", new_bool(extraction.truncated)) ||
      !set_item(d.get(), "method", new_str(extraction.method)) ||
      !set_item(d.get(), "error_pos", optional_uint(error_pos)) ||
      // The extraction's repairs, then the heuristic pass's.
      !set_item(d.get(), "base_repairs",
                repairs_to_py(texts, extraction.repairs, repaired.repairs, SpanForm::Tuple))) {
    return nullptr;
  }
  return d.release();
}

PyObject* split_plan_to_py(const SplitPlan& plan) {
  PyRef d(PyDict_New());
  if (!d) return nullptr;
  if (!set_item(d.get(), "mode", new_str(plan.mode)) ||
      !set_item(d.get(), "elements", new_uint(plan.elements)) ||
      !set_item(d.get(), "structural_density", PyFloat_FromDouble(plan.structural_density)) ||
      !set_item(d.get(), "chunk_count", new_uint(plan.chunk_count))) {
    return nullptr;
  }
  return d.release();
}

PyObject* result_to_py(RepairResult&& result) {
  std::vector<std::vector<RepairAction>> repairs;
  repairs.reserve(result.candidates.size());
  for (Candidate& c : result.candidates) repairs.push_back(std::exchange(c.repairs, {}));
  const StageTexts texts = std::move(result.texts);
  PyRef doc(json_to_py_consuming(std::move(result).into_json_value()));
  if (!doc) return nullptr;
  PyObject* candidates = PyDict_GetItemString(doc.get(), "candidates");  // borrowed
  std::vector<const std::vector<RepairAction>*> lists;
  for (const std::vector<RepairAction>& r : repairs) lists.push_back(&r);
  const std::vector<SharedLead> leads = shared_leads(lists);
  // The copies of shared leads are released before any dict is made.
  for (std::size_t i = 1; i < repairs.size(); ++i) {
    repairs[i].erase(repairs[i].begin(),
                     repairs[i].begin() + static_cast<std::ptrdiff_t>(leads[i].count));
    repairs[i].shrink_to_fit();
  }
  for (std::size_t i = 0; i < repairs.size(); ++i) {
    PyObject* candidate = PyList_GetItem(candidates, static_cast<Py_ssize_t>(i));  // borrowed
    PyObject* lead_list = nullptr;  // borrowed
    if (leads[i].count > 0) {
      PyObject* earlier = PyList_GetItem(candidates, static_cast<Py_ssize_t>(leads[i].from));
      lead_list = PyDict_GetItemString(earlier, "repairs");
    }
    PyRef list(repairs_to_py(texts, lead_list, leads[i].count, repairs[i], {}, SpanForm::List));
    if (!list || PyDict_SetItemString(candidate, "repairs", list.get()) != 0) return nullptr;
    std::vector<RepairAction>().swap(repairs[i]);  // converted: released at once
  }
  return doc.release();
}

// A very large, well-formed document through the scale pipeline: {"value": ..., "plan": {...}}.
// A failure of the scale parse is ValueError(text).
}  // namespace velvin::py
