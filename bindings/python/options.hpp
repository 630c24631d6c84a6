// The options dictionary of the entry points, read into a RepairOptions record.
#pragma once

#include "support.hpp"

#include <optional>

#include "core/options.hpp"

namespace velvin::py {

// `dict` is nullptr (no options) or a dict; nullopt means a Python exception is set.
std::optional<RepairOptions> options_from_dict(PyObject* dict);

// The `options` argument: omitted or None gives nullptr, a dict passes, anything else raises.
bool check_options_argument(PyObject*& options);

}  // namespace velvin::py
