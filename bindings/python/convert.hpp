// Conversions between JsonValue trees and Python objects, and the readers of single Python
// values (text, unsigned integer, float, boolean) that the options and repair readers share.
#pragma once

#include "support.hpp"
#include "state.hpp"

#include <string>
#include <unordered_map>
#include <vector>

#include "core/json.hpp"

namespace velvin::py {

// Object keys repeat across the objects of a document; each distinct key text becomes one str
// object, shared by every dict made with this memo. The memo lives as long as its owner (one
// stream); conversions of whole documents use the module's StrCache instead (state.hpp).
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
  // The same as a new reference.
  PyObject* take(std::string_view key) {
    PyObject* str = get(key);
    Py_XINCREF(str);
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

// The keys of one conversion through the module's cache (or made afresh without the module).
class CachedKeys {
 public:
  CachedKeys() : state_(module_state()) {}
  // A new reference, or nullptr with an exception set.
  PyObject* take(std::string_view key) {
    return state_ != nullptr ? state_->keys.get(key) : key_str(key);
  }
  // The key at `raw` when it is the one that usually comes next (see StrCache::predicted).
  PyObject* predicted(const char* raw, std::size_t avail, std::size_t& length) {
    return state_ != nullptr ? state_->keys.predicted(raw, avail, length) : nullptr;
  }
  // The same for a string value (short ones are shared too).
  PyObject* value(std::string_view text) {
    if (state_ != nullptr) return state_->short_values.get(text);
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  }

 private:
  ModuleState* state_;
};

// A new Python object for `value` (a large tree converts with the collector paused).
PyObject* json_to_py(const JsonValue& value);
PyObject* json_to_py(const JsonValue& value, KeyMemo& memo);
// The same for a tree that is no longer needed: it is released as it is converted.
PyObject* json_to_py_consuming(JsonValue&& value);
PyObject* optional_json_to_py(const std::optional<JsonValue>& value);

// Builds Python objects straight from the strict parser's events (parse_strict_with), so
// strict_loads_py never materialises the intermediate tree. Finished objects wait on one stack
// (keys interleaved with values) until their container ends. Strings are decoded strictly: text
// that is not UTF-8 stops the parse with UnicodeDecodeError set, so a caller may hand over bytes
// it has not validated and check them only when the parse does not succeed.
class PySink final {
 public:
  PySink() = default;
  PySink(const PySink&) = delete;
  PySink& operator=(const PySink&) = delete;
  ~PySink() {
    for (PyObject* obj : stack_) Py_DECREF(obj);
  }

  bool on_null() { return push(new_none()); }
  bool on_bool(bool v) { return push(new_bool(v)); }
  bool on_int(std::int64_t v) { return push(PyLong_FromLongLong(v)); }
  bool on_uint(std::uint64_t v) { return push(PyLong_FromUnsignedLongLong(v)); }
  bool on_float(double v) { return push(PyFloat_FromDouble(v)); }
  bool on_string(std::string_view v) { return push(keys_.value(v)); }
  bool on_key(std::string_view key) { return push(keys_.take(key)); }
  // The key whose raw text begins at `raw` (after its opening quote) when it is the usual next
  // one, pushed as on_key would; false (nothing pushed) otherwise.
  bool known_key(const char* raw, std::size_t avail, std::size_t& length) {
    PyObject* key = keys_.predicted(raw, avail, length);
    if (key == nullptr) return false;
    stack_.push_back(key);
    return true;
  }
  bool on_array_end(std::size_t count) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
    if (list == nullptr) return false;
    const std::size_t base = stack_.size() - count;
    for (std::size_t i = 0; i < count; ++i) {
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), stack_[base + i]);  // steals
    }
    stack_.resize(base);
    return push(list);
  }
  bool on_object_end(std::size_t count) {
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
  CachedKeys keys_;
};

// The value of a Python object as a JsonValue; nullopt with a Python exception set.
std::optional<JsonValue> py_to_json(PyObject* obj, std::size_t depth);

// Readers of one Python value; false with a Python exception set.
bool read_text(PyObject* v, std::string& out);
bool read_uint(PyObject* v, std::uint64_t& out);
bool read_double(PyObject* v, double& out);
bool read_bool(PyObject* v, bool& out);
std::optional<double> try_double(PyObject* obj);

}  // namespace velvin::py
