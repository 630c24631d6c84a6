// velvin_native: the CPython extension module over the core library, built against the stable
// ABI (3.9+). Each entry point binds its arguments, reads the options dictionary, decodes its
// input, calls one core operation and converts the answer. No C++ exception crosses into Python.
//
// Reference conventions: PyRef owns one strong reference; functions returning PyObject* return
// a new reference, or nullptr with a Python exception set.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "beam.hpp"
#include "extract.hpp"
#include "heuristic.hpp"
#include "json.hpp"
#include "pipeline.hpp"
#include "scale.hpp"
#include "strict.hpp"
#include "types.hpp"

namespace velvin {
namespace {

// ---------------------------------------------------------------------------------------------
// Small helpers

class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* p) : p_(p) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }
  [[nodiscard]] PyObject* get() const { return p_; }
  [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

PyObject* as_object(PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); }

// The __name__ of an object's type, for error messages.
std::string type_name(PyObject* obj) {
  PyRef name(PyObject_GetAttrString(as_object(Py_TYPE(obj)), "__name__"));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  PyRef bytes(PyUnicode_AsUTF8String(name.get()));
  if (!bytes) {
    PyErr_Clear();
    return "object";
  }
  return PyBytes_AsString(bytes.get());
}

// "'<type>' object cannot be converted to '<target>'", the message of a failed extraction.
std::string not_convertible(PyObject* obj, const char* target) {
  // Appended piece by piece: g++ 12 misreads `"'" + std::string` as an overlapping copy
  // (-Wrestrict) once this is inlined.
  std::string message = "'";
  message += type_name(obj);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  return message;
}

std::nullptr_t raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return nullptr;
}

std::nullptr_t raise_argument_error(const char* argument, PyObject* obj, const char* target) {
  return raise_type_error(std::string("argument '") + argument + "': " + not_convertible(obj, target));
}

// A view of a Python str's UTF-8 bytes, kept alive by `holder`; nullopt (with the encode error
// set) when the str holds a lone surrogate.
std::optional<std::string_view> utf8_of(PyObject* str, PyRef& holder) {
  holder = PyRef(PyUnicode_AsUTF8String(str));
  if (!holder) return std::nullopt;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(holder.get(), &data, &size) < 0) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::string_view bytes_view(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(bytes, &data, &size);
  return {data, static_cast<std::size_t>(size)};
}

PyObject* new_str(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* new_uint(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* new_none() {
  Py_INCREF(Py_None);
  return Py_None;
}

PyObject* new_bool(bool b) { return PyBool_FromLong(b ? 1 : 0); }

// Sets key to value in dict, consuming the new reference `value`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

// ---------------------------------------------------------------------------------------------
// JsonValue -> Python

// Object keys repeat across the objects of a document; each distinct key text becomes one str
// object, shared by every dict of this conversion (the memo lives for one call only).
class KeyMemo {
 public:
  KeyMemo() = default;
  KeyMemo(const KeyMemo&) = delete;
  KeyMemo& operator=(const KeyMemo&) = delete;
  ~KeyMemo() {
    for (auto& entry : keys_) Py_DECREF(entry.second);
  }
  // Borrowed reference (owned by the memo), or nullptr with an exception set.
  PyObject* get(std::string_view key) {
    auto it = keys_.find(key);
    if (it != keys_.end()) return it->second;
    PyObject* str = new_str(key);
    if (str == nullptr) return nullptr;
    if (keys_.size() >= kMaxKeys) {
      overflow_.emplace_back(str);
    } else {
      keys_.emplace(std::string(key), str);
    }
    return str;
  }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      // FNV-1a: keys are short, and this avoids a call per byte block.
      std::uint64_t h = 1469598103934665603ULL;
      for (unsigned char c : s) h = (h ^ c) * 1099511628211ULL;
      return static_cast<std::size_t>(h);
    }
  };
  static constexpr std::size_t kMaxKeys = 1 << 16;  // bounds the memo on key-heavy documents
  std::unordered_map<std::string, PyObject*, Hash, std::equal_to<>> keys_;
  std::vector<PyRef> overflow_;
};

// Converts `value`. Given a mutable tree, each part is released as soon as it has been
// converted, while its memory is still in cache: releasing a large tree afterwards costs about a
// third as much again as converting it.
template <typename Tree>
PyObject* convert_json(Tree& value, KeyMemo& memo) {
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
        PyObject* item = convert_json(items[i], memo);
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
        PyObject* key = memo.get(m.key);
        if (key == nullptr) return nullptr;
        PyRef item(convert_json(m.value, memo));
        if (!item) return nullptr;
        if (PyDict_SetItem(dict.get(), key, item.get()) < 0) return nullptr;
      }
      if constexpr (kRelease) value = JsonValue();
      return dict.release();
    }
  }
  PyErr_SetString(PyExc_SystemError, "unknown JSON value kind");
  return nullptr;
}

PyObject* json_to_py(const JsonValue& value, KeyMemo& memo) { return convert_json(value, memo); }

// Pauses the cyclic garbage collector while a large tree is converted: the new containers
// cannot form cycles, and collections triggered by their allocation only rescan them.
class GcPause {
 public:
  GcPause() {
    gc_ = PyRef(PyImport_ImportModule("gc"));
    if (!gc_) {
      PyErr_Clear();
      return;
    }
    PyRef enabled(PyObject_CallMethod(gc_.get(), "isenabled", nullptr));
    if (!enabled || PyObject_IsTrue(enabled.get()) != 1) {
      PyErr_Clear();
      return;
    }
    PyRef done(PyObject_CallMethod(gc_.get(), "disable", nullptr));
    if (!done) {
      PyErr_Clear();
      return;
    }
    paused_ = true;
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
  ~GcPause() {
    if (!paused_) return;
    // Keep a pending exception (a failed conversion) across the call.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef done(PyObject_CallMethod(gc_.get(), "enable", nullptr));
    if (!done) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
  }

 private:
  PyRef gc_;
  bool paused_ = false;
};

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
  KeyMemo memo;
  if (count_containers(value, kGcPauseMinContainers) < kGcPauseMinContainers) {
    return json_to_py(value, memo);
  }
  GcPause pause;
  return json_to_py(value, memo);
}

// The same for a tree that is no longer needed: it is released as it is converted (on failure,
// partly).
PyObject* json_to_py_consuming(JsonValue&& value) {
  KeyMemo memo;
  JsonValue tree = std::move(value);
  if (count_containers(tree, kGcPauseMinContainers) < kGcPauseMinContainers) {
    return convert_json(tree, memo);
  }
  GcPause pause;
  return convert_json(tree, memo);
}

// Builds Python objects straight from the strict parser's events, so strict_loads_py never
// materialises the intermediate tree. Finished objects wait on one stack (keys interleaved with
// values) until their container ends.
class PySink final : public JsonSink {
 public:
  PySink() = default;
  PySink(const PySink&) = delete;
  PySink& operator=(const PySink&) = delete;
  ~PySink() override {
    for (PyObject* obj : stack_) Py_DECREF(obj);
  }

  bool on_null() override { return push(new_none()); }
  bool on_bool(bool v) override { return push(new_bool(v)); }
  bool on_int(std::int64_t v) override { return push(PyLong_FromLongLong(v)); }
  bool on_uint(std::uint64_t v) override { return push(PyLong_FromUnsignedLongLong(v)); }
  bool on_float(double v) override { return push(PyFloat_FromDouble(v)); }
  bool on_string(std::string_view v) override { return push(new_str(v)); }
  bool on_key(std::string_view key) override {
    PyObject* str = memo_.get(key);
    if (str == nullptr) return false;
    Py_INCREF(str);
    return push(str);
  }
  bool on_array_end(std::size_t count) override {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    if (list == nullptr) return false;
    const std::size_t base = stack_.size() - count;
    for (std::size_t i = 0; i < count; ++i) {
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), stack_[base + i]);  // steals
    }
    stack_.resize(base);
    return push(list);
  }
  bool on_object_end(std::size_t count) override {
    PyObject* dict = PyDict_New();
    const std::size_t base = stack_.size() - 2 * count;
    bool ok = dict != nullptr;
    for (std::size_t i = 0; i < count && ok; ++i) {
      ok = PyDict_SetItem(dict, stack_[base + 2 * i], stack_[base + 2 * i + 1]) == 0;
    }
    for (std::size_t i = base; i < stack_.size(); ++i) Py_DECREF(stack_[i]);
    stack_.resize(base);
    if (!ok) {
      Py_XDECREF(dict);
      return false;
    }
    return push(dict);
  }

  // The finished document (new reference).
  PyObject* take() {
    PyObject* result = stack_.back();
    stack_.pop_back();
    return result;
  }

 private:
  bool push(PyObject* obj) {
    if (obj == nullptr) return false;
    stack_.push_back(obj);
    return true;
  }

  std::vector<PyObject*> stack_;
  KeyMemo memo_;
};

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

// ---------------------------------------------------------------------------------------------
// The options dictionary

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

// ---------------------------------------------------------------------------------------------
// Records -> Python (the dict shapes of preprocess_py and probabilistic_repair_py: spans are
// tuples here, while parse_py goes through the JsonValue rendering and gets lists)

PyObject* span_tuple(const Span& span) {
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(span.start),
                       static_cast<unsigned long long>(span.end));
}

PyObject* optional_uint(const std::optional<std::uint64_t>& v) {
  return v ? new_uint(*v) : new_none();
}

PyObject* optional_str(const std::optional<std::string>& v) { return v ? new_str(*v) : new_none(); }

// What the repair dictionaries of one conversion share: their six key objects, one str per op
// word and one float per cost. A flood of repairs (a megabyte of stray quotes makes a million)
// then costs a dictionary each rather than a dozen objects each.
class RepairConverter {
 public:
  RepairConverter() {
    for (std::size_t i = 0; i < kKeyCount; ++i) {
      keys_[i] = PyRef(PyUnicode_InternFromString(kKeyNames[i]));
      if (!keys_[i]) ok_ = false;
    }
  }
  [[nodiscard]] bool ok() const { return ok_; }

  PyObject* convert(const RepairAction& action) {
    PyRef d(PyDict_New());
    if (!d) return nullptr;
    PyObject* op = ops_.get(action.op);
    if (op == nullptr) return nullptr;
    Py_INCREF(op);
    if (!set(d.get(), 0, op) ||
        !set(d.get(), 1, action.span ? span_tuple(*action.span) : new_none()) ||
        !set(d.get(), 2, optional_uint(action.at)) ||
        !set(d.get(), 3, optional_str(action.token)) ||
        !set(d.get(), 4, cost(action.cost_delta)) ||
        !set(d.get(), 5, optional_str(action.note))) {
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

  PyRef keys_[kKeyCount];
  KeyMemo ops_;
  PyRef last_cost_;
  double last_cost_value_ = 0.0;
  bool ok_ = true;
};

// Containers below this many repairs convert without pausing the collector.
constexpr std::size_t kGcPauseMinRepairs = 64;

// One list of the repairs of `first` followed by those of `second`.
PyObject* repairs_to_py(std::span<const RepairAction> first,
                        std::span<const RepairAction> second = {}) {
  RepairConverter converter;
  if (!converter.ok()) return nullptr;
  const std::size_t total = first.size() + second.size();
  std::optional<GcPause> pause;
  if (total >= kGcPauseMinRepairs) pause.emplace();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(total)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < total; ++i) {
    const RepairAction& action = i < first.size() ? first[i] : second[i - first.size()];
    PyObject* item = converter.convert(action);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
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

PyObject* candidate_to_py(const Candidate& c) {
  PyRef d(PyDict_New());
  if (!d) return nullptr;
  if (!set_item(d.get(), "candidate_id", new_uint(c.candidate_id)) ||
      !set_item(d.get(), "value", optional_json_to_py(c.value)) ||
      !set_item(d.get(), "normalized_json", optional_str(c.normalized_json)) ||
      !set_item(d.get(), "ir", optional_json_to_py(c.ir)) ||
      !set_item(d.get(), "confidence", PyFloat_FromDouble(c.confidence)) ||
      !set_item(d.get(), "cost", PyFloat_FromDouble(c.cost)) ||
      !set_item(d.get(), "repairs", repairs_to_py(c.repairs)) ||
      !set_item(d.get(), "validations", validations_to_py(c.validations)) ||
      !set_item(d.get(), "diagnostics", diagnostics_to_py(c.diagnostics)) ||
      !set_item(d.get(), "dropped_spans", spans_to_py(c.dropped_spans))) {
    return nullptr;
  }
  return d.release();
}

// ---------------------------------------------------------------------------------------------
// Entry points

// Runs an entry point body; a C++ exception becomes a Python exception instead of ending the
// host process.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "velvin internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "velvin internal error");
  }
  return nullptr;
}

PyObject* raise_positioned(const std::string& message, std::uint64_t position) {
  PyRef args(Py_BuildValue("(sK)", message.c_str(), static_cast<unsigned long long>(position)));
  if (args) PyErr_SetObject(PyExc_ValueError, args.get());
  return nullptr;
}

// Large documents pause the collector while their objects are built (see GcPause).
constexpr std::size_t kGcPauseMinBytes = 4096;

PyObject* strict_loads_text(std::string_view text) {
  PySink sink;
  JsonError error;
  SinkParseStatus status;
  if (text.size() >= kGcPauseMinBytes) {
    GcPause pause;
    status = strict_parse_into(text, sink, error);
  } else {
    status = strict_parse_into(text, sink, error);
  }
  switch (status) {
    case SinkParseStatus::ok:
      return sink.take();
    case SinkParseStatus::invalid:
      return raise_positioned(error.message, error.position);
    case SinkParseStatus::stopped:
      break;
  }
  return nullptr;  // a Python exception is set
}

PyObject* strict_loads_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", nullptr};
    PyObject* input = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:strict_loads_py",
                                     const_cast<char**>(kwlist), &input)) {
      return nullptr;
    }
    PyRef holder;
    std::string_view text;
    std::string copy;
    bool have_text = false;
    if (PyUnicode_Check(input)) {
      if (auto utf8 = utf8_of(input, holder)) {
        text = *utf8;
        have_text = true;
      } else {
        PyErr_Clear();  // a lone surrogate: treated as not a str
      }
    }
    if (!have_text) {
      if (PyBytes_Check(input)) {
        text = bytes_view(input);
      } else if (PyByteArray_Check(input)) {
        copy.assign(PyByteArray_AsString(input), static_cast<std::size_t>(PyByteArray_Size(input)));
        text = copy;
      } else {
        return raise_positioned("input must be bytes, bytearray, memoryview, or str", 0);
      }
      if (!is_valid_utf8(text)) {
        return raise_positioned("str is not valid UTF-8: surrogates not allowed", 0);
      }
    }
    return strict_loads_text(text);
  });
}

PyObject* parse_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "options", nullptr};
    PyObject* input = nullptr;
    PyObject* options_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:parse_py", const_cast<char**>(kwlist),
                                     &input, &options_arg)) {
      return nullptr;
    }
    if (!check_options_argument(options_arg)) return nullptr;
    auto options = options_from_dict(options_arg);
    if (!options) return nullptr;
    RepairResult result;
    if (PyBytes_Check(input)) {
      result = parse_bytes(bytes_view(input), *options);
    } else {
      PyRef holder;
      std::optional<std::string_view> text;
      if (PyUnicode_Check(input)) text = utf8_of(input, holder);
      if (!text) {
        PyErr_Clear();
        return raise_type_error("input must be str or bytes");
      }
      result = parse(*text, *options);
    }
    return json_to_py_consuming(std::move(result).into_json_value());
  });
}

// [entry points: preprocess_py, probabilistic_repair_py, parse_root_array_scale_py]

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
  if (v && !read_span_tuple(v.get(), action.span)) return std::nullopt;
  if (!repair_field(item, "at", v)) return std::nullopt;
  if (v) {
    std::uint64_t at = 0;
    if (!read_uint(v.get(), at)) return std::nullopt;
    action.at = at;
  }
  for (auto [key, field] : {std::pair{"token", &action.token}, std::pair{"note", &action.note}}) {
    if (!repair_field(item, key, v)) return std::nullopt;
    if (!v) continue;
    std::string text;
    if (!read_text(v.get(), text)) return std::nullopt;
    *field = std::move(text);
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

PyObject* candidates_to_py(const std::vector<Candidate>& candidates) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(candidates.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    PyObject* item = candidate_to_py(candidates[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* probabilistic_repair_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"extracted_text", "options", "base_repairs", nullptr};
    PyObject* text_arg = nullptr;
    PyObject* options_arg = nullptr;
    PyObject* base_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:probabilistic_repair_py",
                                     const_cast<char**>(kwlist), &text_arg, &options_arg,
                                     &base_arg)) {
      return nullptr;
    }
    if (!PyUnicode_Check(text_arg)) {
      return raise_argument_error("extracted_text", text_arg, "PyString");
    }
    PyRef holder;
    auto text = utf8_of(text_arg, holder);  // a lone surrogate raises UnicodeEncodeError
    if (!text) return nullptr;
    if (!check_options_argument(options_arg)) return nullptr;
    if (base_arg == Py_None) base_arg = nullptr;
    if (base_arg != nullptr && !PyList_Check(base_arg)) {
      return raise_argument_error("base_repairs", base_arg, "PyList");
    }
    auto options = options_from_dict(options_arg);
    if (!options) return nullptr;
    auto base = repairs_from_py(base_arg);
    if (!base) return nullptr;
    const std::vector<Candidate> candidates = probabilistic_repair(*text, *options, *base);
    return candidates_to_py(candidates);
  });
}

// Bytes are decoded leniently (each invalid sequence becomes U+FFFD); a str is taken as its
// UTF-8 text. Anything else, a str with a lone surrogate included, raises TypeError.
bool repair_input_text(PyObject* input, PyRef& holder, std::string& decoded, std::string_view& text) {
  if (PyBytes_Check(input)) {
    const std::string_view raw = bytes_view(input);
    if (is_valid_utf8(raw)) {
      text = raw;
    } else {
      decoded = decode_utf8_lossy(raw);
      text = decoded;
    }
    return true;
  }
  if (PyUnicode_Check(input)) {
    if (auto utf8 = utf8_of(input, holder)) {
      text = *utf8;
      return true;
    }
    PyErr_Clear();
  }
  raise_type_error("input must be str or bytes");
  return false;
}

// Accepts every event: only the verdict of the strict parse is wanted, not the value.
class DiscardSink final : public JsonSink {
 public:
  bool on_null() override { return true; }
  bool on_bool(bool) override { return true; }
  bool on_int(std::int64_t) override { return true; }
  bool on_uint(std::uint64_t) override { return true; }
  bool on_float(double) override { return true; }
  bool on_string(std::string_view) override { return true; }
  bool on_key(std::string_view) override { return true; }
  bool on_array_end(std::size_t) override { return true; }
  bool on_object_end(std::size_t) override { return true; }
};

// Where the strict parser rejects `text`, or nullopt when it is valid JSON.
std::optional<std::uint64_t> strict_error_position(std::string_view text) {
  DiscardSink sink;
  JsonError error;
  if (strict_parse_into(text, sink, error) == SinkParseStatus::invalid) return error.position;
  return std::nullopt;
}

PyObject* preprocess_to_py(const Extraction& extraction, const HeuristicResult& repaired,
                           const std::optional<std::uint64_t>& error_pos) {
  PyRef d(PyDict_New());
  if (!d) return nullptr;
  if (!set_item(d.get(), "extracted_span", span_tuple(extraction.span)) ||
      !set_item(d.get(), "extracted_text", new_str(extraction.text)) ||
      !set_item(d.get(), "repaired_text", new_str(repaired.text)) ||
      !set_item(d.get(), "truncated", new_bool(extraction.truncated)) ||
      !set_item(d.get(), "method", new_str(extraction.method)) ||
      !set_item(d.get(), "error_pos", optional_uint(error_pos)) ||
      // The extraction's repairs, then the heuristic pass's.
      !set_item(d.get(), "base_repairs", repairs_to_py(extraction.repairs, repaired.repairs))) {
    return nullptr;
  }
  return d.release();
}

PyObject* preprocess_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "options", nullptr};
    PyObject* input = nullptr;
    PyObject* options_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:preprocess_py",
                                     const_cast<char**>(kwlist), &input, &options_arg)) {
      return nullptr;
    }
    // Options are read before the input is looked at: a bad option is reported first.
    if (!check_options_argument(options_arg)) return nullptr;
    const std::optional<RepairOptions> options = options_from_dict(options_arg);
    if (!options) return nullptr;
    PyRef holder;
    std::string decoded;
    std::string_view text;
    if (!repair_input_text(input, holder, decoded, text)) return nullptr;

    const Extraction extraction = extract_json_candidate(text);
    const HeuristicResult repaired = heuristic_repair(extraction.text, *options);
    const std::optional<std::uint64_t> error_pos = strict_error_position(repaired.text);
    return preprocess_to_py(extraction, repaired, error_pos);
  });
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

// A very large, well-formed document through the scale pipeline: {"value": ..., "plan": {...}}.
// A failure of the scale parse is ValueError(text).
PyObject* parse_root_array_scale_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"data", "options", nullptr};
    PyObject* data = nullptr;
    PyObject* options_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:parse_root_array_scale_py",
                                     const_cast<char**>(kwlist), &data, &options_arg)) {
      return nullptr;
    }
    if (!PyBytes_Check(data)) return raise_argument_error("data", data, "PyBytes");
    if (!check_options_argument(options_arg)) return nullptr;
    auto options = options_from_dict(options_arg);
    if (!options) return nullptr;
    // `data` is borrowed for the whole call: the bytes object is immutable and the interpreter
    // lock is held throughout.
    auto parsed = parse_root_array_scale(bytes_view(data), *options);
    if (!parsed) {
      PyRef text(new_str(parsed.error()));
      if (text) PyErr_SetObject(PyExc_ValueError, text.get());
      return nullptr;
    }
    auto [value, plan] = std::move(parsed).value();
    // Every other object of the result exists before the value is converted: the collector is
    // paused during the conversion, and a container allocated after it would trigger a
    // collection over all the new objects at once, inside this call.
    PyRef result(PyDict_New());
    if (!result || !set_item(result.get(), "value", new_none()) ||
        !set_item(result.get(), "plan", split_plan_to_py(plan))) {
      return nullptr;
    }
    if (!set_item(result.get(), "value", json_to_py_consuming(std::move(value)))) return nullptr;
    return result.release();
  });
}

PyMethodDef kMethods[] = {
    {"strict_loads_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(strict_loads_py)),
     METH_VARARGS | METH_KEYWORDS, "strict_loads_py(input)\n--\n\n"},
    {"parse_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_py)),
     METH_VARARGS | METH_KEYWORDS, "parse_py(input, options=None)\n--\n\n"},
    {"preprocess_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(preprocess_py)),
     METH_VARARGS | METH_KEYWORDS, "preprocess_py(input, options=None)\n--\n\n"},
    {"probabilistic_repair_py",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probabilistic_repair_py)),
     METH_VARARGS | METH_KEYWORDS,
     "probabilistic_repair_py(extracted_text, options=None, base_repairs=None)\n--\n\n"},
    // [method table]
    {"parse_root_array_scale_py",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_root_array_scale_py)),
     METH_VARARGS | METH_KEYWORDS, "parse_root_array_scale_py(data, options=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "velvin_native", nullptr, -1, kMethods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace velvin

// Single-phase initialisation: the module is made once per process and handed out again on a
// repeated import; a second interpreter is refused because the cached object belongs to the
// first.
PyMODINIT_FUNC PyInit_velvin_native(void) {
  static std::int64_t owner_interpreter = -1;
  static PyObject* module = nullptr;
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current < 0) return nullptr;
  if (owner_interpreter == -1) {
    owner_interpreter = current;
  } else if (owner_interpreter != current) {
    PyErr_SetString(PyExc_ImportError,
                    "velvin_native does not support sub-interpreters");
    return nullptr;
  }
  if (module == nullptr) {
    module = PyModule_Create(&velvin::kModule);
    if (module == nullptr) return nullptr;
  }
  Py_INCREF(module);
  return module;
}
