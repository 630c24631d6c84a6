// velvin_native.StreamParser, the Python type over the streaming reader; module initialisation
// adds it with add_stream_type.
#pragma once

#include "support.hpp"

namespace velvin::py {

// Creates the type and adds it to `module`; false with a Python exception set.
bool add_stream_type(PyObject* module);

}  // namespace velvin::py
