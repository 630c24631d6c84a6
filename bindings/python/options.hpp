// The options dictionary of the entry points, read into a RepairOptions record by walking the
// core's registry of options, and that registry as a table for the Python package.
#pragma once

#include "support.hpp"

#include <optional>

#include "core/options.hpp"

namespace velvin::py {

// `dict` is nullptr (no options) or a dict; nullopt means a Python exception is set.
std::optional<RepairOptions> options_from_dict(PyObject* dict);

// The `options` argument: omitted or None gives nullptr, a dict passes, anything else raises.
bool check_options_argument(PyObject*& options);

// option_table_py(): ((name, type word, default, description), ...) of the options a Python
// caller may set, in reading order; unset defaults are None.
PyObject* option_table_py(PyObject*, PyObject*);

}  // namespace velvin::py
