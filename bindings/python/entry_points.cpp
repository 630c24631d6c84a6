#include "entry_points.hpp"

#include <string>

#include "convert.hpp"
#include "core/strict.hpp"
#include "options.hpp"
#include "records.hpp"
#include "repair/beam.hpp"
#include "repair/extract.hpp"
#include "repair/heuristic.hpp"
#include "repair/pipeline.hpp"
#include "scale/scale.hpp"

namespace velvin::py {
namespace {

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

}  // namespace

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
    return result_to_py(std::move(result));
  });
}

// [entry points: preprocess_py, probabilistic_repair_py, parse_root_array_scale_py]
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
    std::optional<Error> over_limit;
    const std::vector<Candidate> candidates =
        probabilistic_repair(*text, *options, std::move(*base), BeamContext{nullptr, 0, &over_limit});
    if (over_limit) return raise_positioned(over_limit->message, over_limit->position);
    StageTexts texts;  // the search read the caller's text; base repairs keep their own notes
    texts.beam = std::string(*text);
    return candidates_to_py(candidates, texts);
  });
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
    if (auto over = extraction_over_limit(extraction, options->max_total_repairs)) {
      return raise_positioned(over->message, over->position);
    }
    HeuristicResult repaired = heuristic_repair(extraction.text, *options, extraction.repairs.size());
    if (repaired.over_limit) {
      return raise_positioned(repaired.over_limit->message, repaired.over_limit->position);
    }
    const std::optional<std::uint64_t> error_pos = strict_error_position(repaired.text);
    return preprocess_to_py(extraction, std::move(repaired), error_pos);
  });
}

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
      PyRef text(new_str(parsed.error().message));
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

}  // namespace velvin::py
