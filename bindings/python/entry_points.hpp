// The module's entry points; each binds its arguments, reads the options, decodes its input,
// calls one core operation and converts the answer.
#pragma once

#include "support.hpp"

namespace velvin::py {

PyObject* strict_loads_py(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* parse_py(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* parse_direct_py(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* result_document_py(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* normalized_json_py(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* preprocess_py(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* probabilistic_repair_py(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* parse_root_array_scale_py(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* parse_all_py(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* explain_py(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* parse_many_py(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* loads_many_py(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* loads_py(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* repair_json_py(PyObject*, PyObject* args, PyObject* kwargs);

}  // namespace velvin::py
