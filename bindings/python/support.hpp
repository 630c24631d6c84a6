// What every file of the extension shares: the owned-reference holder, the small constructors
// of Python objects, the error helpers and the guard that keeps C++ exceptions out of Python.
//
// Reference conventions: PyRef owns one strong reference; functions returning PyObject* return
// a new reference, or nullptr with a Python exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace velvin::py {

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

inline PyObject* as_object(PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); }

// The __name__ of an object's type, for error messages.
std::string type_name(PyObject* obj);

// "'<type>' object cannot be converted to '<target>'", the message of a failed extraction.
std::string not_convertible(PyObject* obj, const char* target);

std::nullptr_t raise_type_error(const std::string& message);
// TypeError "argument '<argument>': " + not_convertible(obj, target).
std::nullptr_t raise_argument_error(const char* argument, PyObject* obj, const char* target);
// ValueError whose args are exactly (message, position).
PyObject* raise_positioned(const std::string& message, std::uint64_t position);

// A view of a Python str's UTF-8 bytes, kept alive by `holder`; nullopt (with the encode error
// set) when the str holds a lone surrogate.
std::optional<std::string_view> utf8_of(PyObject* str, PyRef& holder);
std::string_view bytes_view(PyObject* bytes);

PyObject* new_str(std::string_view s);
inline PyObject* new_uint(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* new_none() {
  Py_INCREF(Py_None);
  return Py_None;
}
inline PyObject* new_bool(bool b) { return PyBool_FromLong(b ? 1 : 0); }

// Sets key to value in dict, consuming the new reference `value`.
bool set_item(PyObject* dict, const char* key, PyObject* value);

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

}  // namespace velvin::py
