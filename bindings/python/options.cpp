#include "options.hpp"

#include <string>
#include <vector>

#include "convert.hpp"

namespace velvin::py {

bool read_text_list(PyObject* v, std::optional<std::vector<std::string>>& out) {
  if (PyUnicode_Check(v)) {
    raise_type_error("Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(v)) {
    raise_type_error(not_convertible(v, "Sequence"));
    return false;
  }
  const Py_ssize_t n = PySequence_Size(v);
  if (n < 0) return false;
  std::vector<std::string> texts;
  texts.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item(PySequence_GetItem(v, i));
    if (!item) return false;
    std::string text;
    if (!read_text(item.get(), text)) return false;
    texts.push_back(std::move(text));
  }
  out = std::move(texts);
  return true;
}

bool read_schema(PyObject* v, std::optional<JsonValue>& out) {
  auto value = py_to_json(v, 0);
  if (!value) return false;
  out = std::move(*value);
  return true;
}

// One key of the options dictionary: its name and how a present, non-None value is stored.
// `none_unsets` keys store "unset" for an explicit None; the others keep their default.
struct OptionKey {
  const char* name;
  bool (*apply)(PyObject* value, RepairOptions& options);
  void (*unset)(RepairOptions& options);
};

#define VELVIN_TEXT(field) \
  {#field, [](PyObject* v, RepairOptions& o) { return read_text(v, o.field); }, nullptr}
#define VELVIN_UINT(field) \
  {#field, [](PyObject* v, RepairOptions& o) { return read_uint(v, o.field); }, nullptr}
#define VELVIN_DOUBLE(field) \
  {#field, [](PyObject* v, RepairOptions& o) { return read_double(v, o.field); }, nullptr}
#define VELVIN_BOOL(field) \
  {#field, [](PyObject* v, RepairOptions& o) { return read_bool(v, o.field); }, nullptr}

// Read in this order; the first failing key ends the read.
const OptionKey kOptionKeys[] = {
    VELVIN_TEXT(mode),
    VELVIN_UINT(top_k),
    VELVIN_UINT(beam_width),
    VELVIN_UINT(max_repairs),
    VELVIN_UINT(max_deleted_tokens),
    VELVIN_UINT(max_close_open_string),
    VELVIN_UINT(max_garbage_skip_bytes),
    VELVIN_DOUBLE(confidence_alpha),
    VELVIN_BOOL(partial_ok),
    VELVIN_BOOL(allow_single_quotes),
    VELVIN_BOOL(allow_unquoted_keys),
    VELVIN_BOOL(allow_unquoted_values),
    VELVIN_BOOL(allow_comments),
    VELVIN_BOOL(allow_python_literals),
    VELVIN_TEXT(allow_parallel),
    VELVIN_UINT(parallel_threshold_bytes),
    VELVIN_UINT(min_elements_for_parallel),
    VELVIN_DOUBLE(density_threshold),
    VELVIN_UINT(parallel_chunk_bytes),
    VELVIN_UINT(deterministic_seed),
    VELVIN_BOOL(debug),
    {"parallel_workers",
     [](PyObject* v, RepairOptions& o) {
       std::uint64_t n = 0;
       if (!read_uint(v, n)) return false;
       o.parallel_workers = n == 0 ? std::nullopt : std::optional<std::uint64_t>(n);
       return true;
     },
     [](RepairOptions& o) { o.parallel_workers.reset(); }},
    VELVIN_TEXT(parallel_backend),
    VELVIN_TEXT(scale_output),
    {"scale_target_keys",
     [](PyObject* v, RepairOptions& o) { return read_text_list(v, o.scale_target_keys); },
     [](RepairOptions& o) { o.scale_target_keys.reset(); }},
    {"schema", [](PyObject* v, RepairOptions& o) { return read_schema(v, o.schema); },
     [](RepairOptions& o) { o.schema.reset(); }},
};

#undef VELVIN_TEXT
#undef VELVIN_UINT
#undef VELVIN_DOUBLE
#undef VELVIN_BOOL

// `dict` is nullptr (no options) or a dict; nullopt means a Python exception is set.
std::optional<RepairOptions> options_from_dict(PyObject* dict) {
  RepairOptions options;
  if (dict == nullptr) return options;
  for (const OptionKey& key : kOptionKeys) {
    PyRef name(PyUnicode_FromString(key.name));
    if (!name) return std::nullopt;
    PyObject* value = PyDict_GetItemWithError(dict, name.get());  // borrowed
    if (value == nullptr) {
      if (PyErr_Occurred()) return std::nullopt;
      continue;
    }
    if (value == Py_None) {
      if (key.unset != nullptr) key.unset(options);
      continue;
    }
    Py_INCREF(value);
    PyRef hold(value);
    if (!key.apply(value, options)) return std::nullopt;
  }
  return options;
}

// The `options` argument: omitted or None gives nullptr, a dict passes, anything else raises.
bool check_options_argument(PyObject*& options) {
  if (options == nullptr || options == Py_None) {
    options = nullptr;
    return true;
  }
  if (!PyDict_Check(options)) {
    raise_argument_error("options", options, "PyDict");
    return false;
  }
  return true;
}

}  // namespace velvin::py
