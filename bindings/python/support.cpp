#include "support.hpp"

namespace velvin::py {

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
// Sets key to value in dict, consuming the new reference `value`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}
PyObject* raise_positioned(const std::string& message, std::uint64_t position) {
  PyRef args(Py_BuildValue("(sK)", message.c_str(), static_cast<unsigned long long>(position)));
  if (args) PyErr_SetObject(PyExc_ValueError, args.get());
  return nullptr;
}


}  // namespace velvin::py
