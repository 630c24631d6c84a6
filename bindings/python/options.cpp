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

// Converts `v` as the option's type asks and stores it; false with a Python exception set.
bool read_option(PyObject* v, const OptionEntry& entry, RepairOptions& options) {
  bool stored = false;
  switch (entry.type()) {
    case OptionType::text:
    case OptionType::optional_text: {
      std::string text;
      if (!read_text(v, text)) return false;
      stored = set_text(options, entry, std::move(text));
      break;
    }
    case OptionType::count:
    case OptionType::optional_count: {
      std::uint64_t n = 0;
      if (!read_uint(v, n)) return false;
      stored = set_count(options, entry, n);
      break;
    }
    case OptionType::real: {
      double x = 0.0;
      if (!read_double(v, x)) return false;
      stored = set_real(options, entry, x);
      break;
    }
    case OptionType::boolean: {
      bool b = false;
      if (!read_bool(v, b)) return false;
      stored = set_boolean(options, entry, b);
      break;
    }
    case OptionType::text_list: {
      std::optional<std::vector<std::string>> texts;
      if (!read_text_list(v, texts)) return false;
      stored = set_text_list(options, entry, std::move(*texts));
      break;
    }
    case OptionType::json: {
      std::optional<JsonValue> value;
      if (!read_schema(v, value)) return false;
      stored = set_json(options, entry, std::move(*value));
      break;
    }
  }
  if (!stored) {
    PyErr_Format(PyExc_RuntimeError, "velvin internal error: option %.100s not stored",
                 std::string(entry.name).c_str());
  }
  return stored;
}

// `dict` is nullptr (no options) or a dict; nullopt means a Python exception is set. Keys are
// read in the registry's order and the first failing key ends the read; None keeps the default
// (for the optional options that is unset).
std::optional<RepairOptions> options_from_dict(PyObject* dict) {
  std::optional<RepairOptions> options(std::in_place);
  if (dict == nullptr) return options;
  for (const OptionEntry& entry : option_registry()) {
    if (!entry.from_python) continue;
    PyRef name(PyUnicode_FromStringAndSize(entry.name.data(),
                                           static_cast<Py_ssize_t>(entry.name.size())));
    if (!name) return std::nullopt;
    PyObject* value = PyDict_GetItemWithError(dict, name.get());  // borrowed
    if (value == nullptr) {
      if (PyErr_Occurred()) return std::nullopt;
      continue;
    }
    if (value == Py_None) continue;
    Py_INCREF(value);
    PyRef hold(value);
    if (!read_option(value, entry, *options)) return std::nullopt;
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

PyObject* option_table_py(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    const RepairOptions defaults;
    Py_ssize_t count = 0;
    for (const OptionEntry& entry : option_registry()) count += entry.from_python ? 1 : 0;
    PyRef table(PyTuple_New(count));
    if (!table) return nullptr;
    Py_ssize_t i = 0;
    for (const OptionEntry& entry : option_registry()) {
      if (!entry.from_python) continue;
      const std::string_view type = option_type_word(entry.type());
      PyObject* row = Py_BuildValue(
          "(s#s#Ns#)", entry.name.data(), static_cast<Py_ssize_t>(entry.name.size()), type.data(),
          static_cast<Py_ssize_t>(type.size()), json_to_py(option_value(defaults, entry)),
          entry.description.data(), static_cast<Py_ssize_t>(entry.description.size()));
      if (row == nullptr) return nullptr;
      PyTuple_SetItem(table.get(), i++, row);  // steals
    }
    return table.release();
  });
}

}  // namespace velvin::py
