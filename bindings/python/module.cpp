// velvin_native: the CPython extension module over the core library, built against the stable
// ABI (3.9+). This file holds the method table and the module's initialisation; the entry
// points are in entry_points.cpp, the table of options in options.cpp. No C++ exception
// crosses into Python.
#include "entry_points.hpp"
#include "options.hpp"
#include "state.hpp"
#include "stream.hpp"

namespace velvin::py {
namespace {

PyMethodDef kMethods[] = {
    {"option_table_py",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(option_table_py)), METH_NOARGS,
     "option_table_py()\n--\n\nThe options of the options dictionary: a tuple of (name, type, "
     "default, description)."},
    {"parse_all_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_all_py)),
     METH_VARARGS | METH_KEYWORDS, "parse_all_py(input, options=None)\n--\n\n"},
    {"explain_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(explain_py)),
     METH_VARARGS | METH_KEYWORDS, "explain_py(input, options=None, name='<input>', piece=None)\n--\n\n"},
    {"parse_many_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_many_py)),
     METH_VARARGS | METH_KEYWORDS, "parse_many_py(texts, options=None, jobs=0)\n--\n\n"},
    {"loads_many_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loads_many_py)),
     METH_VARARGS | METH_KEYWORDS, "loads_many_py(texts, options=None, jobs=0)\n--\n\n"},
    {"loads_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loads_py)),
     METH_VARARGS | METH_KEYWORDS, "loads_py(input, options=None)\n--\n\n"},
    {"repair_json_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(repair_json_py)),
     METH_VARARGS | METH_KEYWORDS, "repair_json_py(input, options=None)\n--\n\n"},
    {"strict_loads_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(strict_loads_py)),
     METH_VARARGS | METH_KEYWORDS, "strict_loads_py(input)\n--\n\n"},
    {"parse_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_py)),
     METH_VARARGS | METH_KEYWORDS, "parse_py(input, options=None)\n--\n\n"},
    {"parse_direct_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_direct_py)),
     METH_VARARGS | METH_KEYWORDS, "parse_direct_py(input, options=None)\n--\n\n"},
    {"result_document_py",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(result_document_py)),
     METH_VARARGS | METH_KEYWORDS, "result_document_py(pending, value)\n--\n\n"},
    {"normalized_json_py",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(normalized_json_py)),
     METH_VARARGS | METH_KEYWORDS, "normalized_json_py(input, start, end)\n--\n\n"},
    {"preprocess_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(preprocess_py)),
     METH_VARARGS | METH_KEYWORDS, "preprocess_py(input, options=None)\n--\n\n"},
    {"probabilistic_repair_py",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probabilistic_repair_py)),
     METH_VARARGS | METH_KEYWORDS,
     "probabilistic_repair_py(extracted_text, options=None, base_repairs=None)\n--\n\n"},
    {"parse_root_array_scale_py",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_root_array_scale_py)),
     METH_VARARGS | METH_KEYWORDS, "parse_root_array_scale_py(data, options=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The state is one pointer to a ModuleState (state.hpp), released with the module.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "velvin_native", nullptr, sizeof(ModuleState*), kMethods,
    nullptr, nullptr, nullptr, free_module_state,
};

}  // namespace

PyModuleDef& velvin_module_def() { return kModule; }

}  // namespace velvin::py


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
    module = PyModule_Create(&velvin::py::kModule);
    if (module == nullptr) return nullptr;
    if (!velvin::py::init_module_state(module) || !velvin::py::add_stream_type(module)) {
      Py_CLEAR(module);
      return nullptr;
    }
  }
  Py_INCREF(module);
  return module;
}
