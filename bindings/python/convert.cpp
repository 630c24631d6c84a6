#include "convert.hpp"

#include <type_traits>

namespace velvin::py {

// Converts `value`. Given a mutable tree, each part is released as soon as it has been
// converted, while its memory is still in cache: releasing a large tree afterwards costs about a
// third as much again as converting it.
template <typename Tree, typename Keys>
PyObject* convert_json(Tree& value, Keys& keys) {
  constexpr bool kRelease = !std::is_const_v<Tree>;
  switch (value.kind()) {
    case JsonKind::Null:
      return new_none();
    case JsonKind::Bool:
      return new_bool(value.as_bool());
    case JsonKind::Int:
      return PyLong_FromLongLong(value.as_int());
    case JsonKind::UInt:
      return PyLong_FromUnsignedLongLong(value.as_uint());
    case JsonKind::Float:
      return PyFloat_FromDouble(value.as_float());
    case JsonKind::String: {
      PyObject* str = new_str(value.as_string());
      if constexpr (kRelease) value = JsonValue();
      return str;
    }
    case JsonKind::Array: {
      auto& items = value.as_array();
      PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
      if (!list) return nullptr;
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = convert_json(items[i], keys);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
      }
      if constexpr (kRelease) value = JsonValue();
      return list.release();
    }
    case JsonKind::Object: {
      PyRef dict(PyDict_New());
      if (!dict) return nullptr;
      for (auto& m : value.as_object()) {
        PyRef key(keys.take(m.key));
        if (!key) return nullptr;
        PyRef item(convert_json(m.value, keys));
        if (!item) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return nullptr;
      }
      if constexpr (kRelease) value = JsonValue();
      return dict.release();
    }
  }
  PyErr_SetString(PyExc_SystemError, "unknown JSON value kind");
  return nullptr;
}

PyObject* json_to_py(const JsonValue& value, KeyMemo& memo) { return convert_json(value, memo); }

// Trees with fewer containers than this convert without pausing the collector: the pause costs
// a few calls into the gc module.
constexpr std::size_t kGcPauseMinContainers = 64;

// Counts containers up to `limit` (stops early), to decide on pausing the collector.
std::size_t count_containers(const JsonValue& value, std::size_t limit) {
  std::size_t count = 0;
  if (value.is_array()) {
    ++count;
    for (const JsonValue& item : value.as_array()) {
      if (count >= limit) break;
      count += count_containers(item, limit - count);
    }
  } else if (value.is_object()) {
    ++count;
    for (const JsonMember& m : value.as_object()) {
      if (count >= limit) break;
      count += count_containers(m.value, limit - count);
    }
  }
  return count;
}

PyObject* json_to_py(const JsonValue& value) {
  CachedKeys keys;
  if (count_containers(value, kGcPauseMinContainers) < kGcPauseMinContainers) {
    return convert_json(value, keys);
  }
  GcPause pause;
  return convert_json(value, keys);
}

// The same for a tree that is no longer needed: it is released as it is converted (on failure,
// partly).
PyObject* json_to_py_consuming(JsonValue&& value) {
  CachedKeys keys;
  JsonValue tree = std::move(value);
  if (count_containers(tree, kGcPauseMinContainers) < kGcPauseMinContainers) {
    return convert_json(tree, keys);
  }
  GcPause pause;
  return convert_json(tree, keys);
}

PyObject* optional_json_to_py(const std::optional<JsonValue>& value) {
  return value ? json_to_py(*value) : new_none();
}

// ---------------------------------------------------------------------------------------------
// Python -> JsonValue

bool is_numpy_bool(PyObject* obj) {
  PyObject* type = as_object(Py_TYPE(obj));
  PyRef module(PyObject_GetAttrString(type, "__module__"));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return false;
  }
  const std::string name = type_name(obj);
  return name == "bool_" || name == "bool";
}

// numpy booleans convert through their own __bool__.
std::optional<bool> numpy_bool_value(PyObject* obj) {
  PyRef method(PyObject_GetAttrString(as_object(Py_TYPE(obj)), "__bool__"));
  if (!method) {
    PyErr_Clear();
    raise_type_error("type '" + type_name(obj) + "' does not define a '__bool__' conversion");
    return std::nullopt;
  }
  PyRef result(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
  if (!result) return std::nullopt;
  const int truth = PyObject_IsTrue(result.get());
  if (truth < 0) return std::nullopt;
  return truth == 1;
}

std::optional<std::int64_t> try_int64(PyObject* obj) {
  PyRef index(PyNumber_Index(obj));
  if (!index) {
    PyErr_Clear();
    return std::nullopt;
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return std::nullopt;
  }
  return static_cast<std::int64_t>(v);
}

std::optional<double> try_double(PyObject* obj) {
  const double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return std::nullopt;
  }
  return d;
}

// str(obj), with lone surrogates turned into U+FFFD (one per byte of their UTF-8 form).
std::optional<JsonValue> str_fallback(PyObject* obj) {
  PyRef text(PyObject_Str(obj));
  if (!text) return std::nullopt;
  PyRef bytes(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!bytes) return std::nullopt;
  return JsonValue::string(decode_utf8_lossy(bytes_view(bytes.get())));
}

std::optional<JsonValue> py_to_json(PyObject* obj, std::size_t depth);

std::optional<JsonValue> list_to_json(PyObject* list, std::size_t depth) {
  const Py_ssize_t n = PyList_Size(list);
  JsonArray items;
  items.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyObject* borrowed = PyList_GetItem(list, i);
    if (borrowed == nullptr) return std::nullopt;
    Py_INCREF(borrowed);
    PyRef item(borrowed);  // hold it: converting an item may run Python code
    auto converted = py_to_json(item.get(), depth + 1);
    if (!converted) return std::nullopt;
    items.push_back(std::move(*converted));
  }
  return JsonValue::array(std::move(items));
}

std::optional<JsonValue> dict_to_json(PyObject* dict, std::size_t depth) {
  JsonObject members;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      raise_type_error(not_convertible(key, "PyString"));
      return std::nullopt;
    }
    PyRef key_ref(key), value_ref(value);  // keep both alive while converting
    Py_INCREF(key);
    Py_INCREF(value);
    PyRef holder;
    auto key_text = utf8_of(key, holder);
    if (!key_text) return std::nullopt;
    auto converted = py_to_json(value, depth + 1);
    if (!converted) return std::nullopt;
    members.push_back(JsonMember{std::string(*key_text), std::move(*converted)});
  }
  return JsonValue::object(std::move(members));
}

// The first test that succeeds decides: None, bool (and numpy bool), int in the signed 64-bit
// range, anything convertible to a double, str, list, dict, and otherwise the text of str(obj).
std::optional<JsonValue> py_to_json_checked(PyObject* obj, std::size_t depth) {
  if (obj == Py_None) return JsonValue::null();
  if (PyBool_Check(obj)) return JsonValue::boolean(obj == Py_True);
  // Exact built-in types cannot be numpy booleans, so they skip the attribute lookups.
  const bool builtin = PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) ||
                       PyUnicode_CheckExact(obj) || PyList_CheckExact(obj) ||
                       PyDict_CheckExact(obj);
  if (!builtin && is_numpy_bool(obj)) {
    auto b = numpy_bool_value(obj);
    if (!b) return std::nullopt;
    return JsonValue::boolean(*b);
  }
  if (!PyUnicode_CheckExact(obj) && !PyList_CheckExact(obj) && !PyDict_CheckExact(obj)) {
    if (auto i = try_int64(obj)) return JsonValue::integer(*i);
    if (auto d = try_double(obj)) return JsonValue::number(*d);
  }
  if (PyUnicode_Check(obj)) {
    PyRef holder;
    if (auto text = utf8_of(obj, holder)) return JsonValue::string(*text);
    PyErr_Clear();
    return str_fallback(obj);
  }
  if (PyList_Check(obj)) return list_to_json(obj, depth);
  if (PyDict_Check(obj)) return dict_to_json(obj, depth);
  return str_fallback(obj);
}

std::optional<JsonValue> py_to_json(PyObject* obj, std::size_t depth) {
  if (depth > kMaxNestingDepth) {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum nesting depth exceeded while converting to JSON");
    return std::nullopt;
  }
  if (Py_EnterRecursiveCall(" while converting to JSON") != 0) return std::nullopt;
  auto result = py_to_json_checked(obj, depth);
  Py_LeaveRecursiveCall();
  return result;
}

bool read_text(PyObject* v, std::string& out) {
  if (!PyUnicode_Check(v)) {
    raise_type_error(not_convertible(v, "PyString"));
    return false;
  }
  PyRef holder;
  auto text = utf8_of(v, holder);
  if (!text) return false;
  out = std::string(*text);
  return true;
}

bool read_uint(PyObject* v, std::uint64_t& out) {
  PyRef index(PyNumber_Index(v));
  if (!index) return false;
  const unsigned long long u = PyLong_AsUnsignedLongLong(index.get());
  if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = u;
  return true;
}

bool read_double(PyObject* v, double& out) {
  const double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) return false;
  out = d;
  return true;
}

bool read_bool(PyObject* v, bool& out) {
  if (PyBool_Check(v)) {
    out = v == Py_True;
    return true;
  }
  if (is_numpy_bool(v)) {
    auto b = numpy_bool_value(v);
    if (!b) return false;
    out = *b;
    return true;
  }
  raise_type_error(not_convertible(v, "PyBool"));
  return false;
}


}  // namespace velvin::py
