#include "entry_points.hpp"

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "core/json_parser.hpp"
#include "core/strict.hpp"
#include "options.hpp"
#include "records.hpp"
#include "repair/batch.hpp"
#include "repair/beam.hpp"
#include "repair/explain.hpp"
#include "repair/extract.hpp"
#include "repair/heuristic.hpp"
#include "repair/pipeline.hpp"
#include "scale/scale.hpp"

namespace velvin::py {
namespace {

// Large documents pause the collector while their objects are built (see GcPause).
constexpr std::size_t kGcPauseMinBytes = 4096;

// The strict parse of `text` into a sink that builds Python objects, the collector paused for
// a large document.
template <typename Sink>
SinkParseStatus parse_into_python(std::string_view text, Sink& sink, JsonError& error) {
  if (text.size() < kGcPauseMinBytes) return parse_strict_with(text, sink, error);
  GcPause pause;
  return parse_strict_with(text, sink, error);
}

constexpr const char* kNotUtf8 = "str is not valid UTF-8: surrogates not allowed";

// `text` need not be valid UTF-8: the sink decodes every string strictly, and bytes outside
// strings that are not ASCII break the grammar. Only a parse that does not succeed checks the
// whole text, since invalid UTF-8 anywhere is reported before any other fault.
PyObject* strict_loads_text(std::string_view text, bool validated) {
  PySink sink;
  JsonError error;
  const SinkParseStatus status = parse_into_python(text, sink, error);
  if (status == SinkParseStatus::ok) return sink.take();
  if (!validated && !is_valid_utf8(text)) {
    PyErr_Clear();  // the UnicodeDecodeError of a string, if that stopped the parse
    return raise_positioned(kNotUtf8, 0);
  }
  if (status == SinkParseStatus::invalid) return raise_positioned(error.message, error.position);
  return nullptr;  // a Python exception is set
}

// A document the scale route does not split, parsed straight into Python objects as
// strict_loads_py parses: no value tree is built only to be converted.
class PyWholeDocument final : public WholeDocumentParser {
 public:
  std::optional<DocumentShape> parse(std::string_view text) override {
    if (tried_) return std::nullopt;  // a document that failed once is not read again
    tried_ = true;
    ShapeCountingSink<PySink> counting(sink_);
    JsonError error;
    const SinkParseStatus status = parse_into_python(text, counting, error);
    parsed_ = status == SinkParseStatus::ok;
    if (!parsed_) {
      PyErr_Clear();  // the route reports its own parse's error
      return std::nullopt;
    }
    return counting.shape();
  }
  // The document's value (new reference), or nullptr when it was not read here.
  PyObject* take() { return parsed_ ? sink_.take() : nullptr; }

 private:
  PySink sink_;
  bool tried_ = false;
  bool parsed_ = false;
};

// The raw bytes of a bytes object, or the UTF-8 text of a str, as the pipeline takes them.
// Anything else, a str with a lone surrogate included, raises TypeError.
bool pipeline_input(PyObject* input, PyRef& holder, std::string_view& bytes) {
  if (PyBytes_Check(input)) {
    bytes = bytes_view(input);
    return true;
  }
  if (PyUnicode_Check(input)) {
    if (auto utf8 = utf8_of(input, holder)) {
      bytes = *utf8;
      return true;
    }
    PyErr_Clear();
  }
  raise_type_error("input must be str or bytes");
  return false;
}

// Bytes are decoded leniently (each invalid sequence becomes U+FFFD); a str is taken as its
// UTF-8 text. Anything else, a str with a lone surrogate included, raises TypeError.
bool repair_input_text(PyObject* input, PyRef& holder, std::string& decoded, std::string_view& text) {
  if (!pipeline_input(input, holder, text)) return false;
  if (!is_valid_utf8(text)) {
    decoded = decode_utf8_lossy(text);
    text = decoded;
  }
  return true;
}

// The arguments (input, options=None) of an entry point that runs the pipeline. The options are
// read before the input is looked at, so a bad option is reported first.
struct PipelineArguments {
  PyRef holder;  // keeps `bytes` alive
  std::string_view bytes;
  RepairOptions options;
};

// `format` is "O|O:" and the entry point's name. False with the exception set.
bool bind_pipeline_arguments(PyObject* args, PyObject* kwargs, const char* format,
                             PipelineArguments& out) {
  static const char* kwlist[] = {"input", "options", nullptr};
  PyObject* input = nullptr;
  PyObject* options_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &input,
                                   &options_arg)) {
    return false;
  }
  if (!check_options_argument(options_arg)) return false;
  auto options = options_from_dict(options_arg);
  if (!options) return false;
  out.options = std::move(*options);
  return pipeline_input(input, out.holder, out.bytes);
}

// The texts of a batch, copied into one buffer while the interpreter lock is held, so that the
// worker threads read no Python object.
class BatchTexts {
 public:
  // Appends the raw bytes of a bytes or bytearray object, or the UTF-8 text of a str; anything
  // else, a str with a lone surrogate included, raises TypeError.
  bool append(PyObject* text, std::size_t index) {
    std::string_view bytes;
    PyRef holder;
    if (PyBytes_Check(text)) {
      bytes = bytes_view(text);
    } else if (PyByteArray_Check(text)) {
      bytes = std::string_view(PyByteArray_AsString(text),
                               static_cast<std::size_t>(PyByteArray_Size(text)));
    } else if (auto utf8 = PyUnicode_Check(text) ? utf8_of(text, holder) : std::nullopt) {
      bytes = *utf8;
    } else {
      PyErr_Clear();
      raise_type_error("texts[" + std::to_string(index) + "] must be str or bytes, not " +
                       type_name(text));
      return false;
    }
    spans_.emplace_back(storage_.size(), bytes.size());
    storage_.append(bytes);
    return true;
  }
  // Views into the buffer, which must not change while they are in use.
  [[nodiscard]] std::vector<std::string_view> views() const {
    std::vector<std::string_view> out;
    out.reserve(spans_.size());
    for (const auto& [start, size] : spans_) out.emplace_back(storage_.data() + start, size);
    return out;
  }

 private:
  std::string storage_;
  std::vector<std::pair<std::size_t, std::size_t>> spans_;
};

// The arguments (texts, options=None, jobs=0) of a batch entry point: options first, then jobs,
// then every text, so that nothing is parsed before all of them are read.
struct BatchArguments {
  BatchTexts texts;
  RepairOptions options;
  std::size_t jobs = 0;
};

// `format` is "O|On:" and the entry point's name. False with the exception set.
bool bind_batch_arguments(PyObject* args, PyObject* kwargs, const char* format, BatchArguments& out) {
  static const char* kwlist[] = {"texts", "options", "jobs", nullptr};
  PyObject* texts = nullptr;
  PyObject* options_arg = nullptr;
  Py_ssize_t jobs = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &texts,
                                   &options_arg, &jobs)) {
    return false;
  }
  if (!PyList_Check(texts)) {
    raise_argument_error("texts", texts, "PyList");
    return false;
  }
  if (!check_options_argument(options_arg)) return false;
  auto options = options_from_dict(options_arg);
  if (!options) return false;
  out.options = std::move(*options);
  if (jobs < 0) {
    PyErr_SetString(PyExc_ValueError, "jobs must be 0 or more");
    return false;
  }
  out.jobs = static_cast<std::size_t>(jobs);
  const Py_ssize_t count = PyList_Size(texts);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!out.texts.append(PyList_GetItem(texts, i), static_cast<std::size_t>(i))) return false;
  }
  return true;
}

// A new list of `convert(index, result)` for the texts of a batch call, made in input order as
// the results come (the worker threads run meanwhile); nullptr with the exception set.
template <typename Convert>
PyObject* batch_to_list(PyObject* args, PyObject* kwargs, const char* format,
                        const Convert& convert) {
  BatchArguments call;
  if (!bind_batch_arguments(args, kwargs, format, call)) return nullptr;
  const std::vector<std::string_view> texts = call.texts.views();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  // A Ctrl-C that came while the texts were copied is taken now: GcPause's calls into the gc
  // module would run its handler and then clear the KeyboardInterrupt as a failed call.
  if (PyErr_CheckSignals() != 0) return nullptr;
  GcPause pause;  // thousands of small documents would otherwise set off collection after collection
  const bool done =
      parse_batch(texts, call.options, call.jobs, [&](std::size_t i, RepairResult&& result) {
        // Ctrl-C ends a long batch here, between two results, like a loop of parse_py would.
        if (PyErr_CheckSignals() != 0) return false;
        PyObject* item = convert(i, std::move(result));
        if (item == nullptr) return false;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
        return true;
      });
  return done ? list.release() : nullptr;
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
    std::string copy;
    if (PyUnicode_Check(input)) {
      if (auto utf8 = utf8_of(input, holder)) return strict_loads_text(*utf8, true);
      PyErr_Clear();  // a lone surrogate: treated as not a str
    }
    std::string_view text;
    if (PyBytes_Check(input)) {
      text = bytes_view(input);
    } else if (PyByteArray_Check(input)) {
      copy.assign(PyByteArray_AsString(input), static_cast<std::size_t>(PyByteArray_Size(input)));
      text = copy;
    } else {
      return raise_positioned("input must be bytes, bytearray, memoryview, or str", 0);
    }
    return strict_loads_text(text, false);
  });
}

PyObject* parse_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PipelineArguments call;
    if (!bind_pipeline_arguments(args, kwargs, "O|O:parse_py", call)) return nullptr;
    return result_to_py(parse_bytes(call.bytes, call.options));
  });
}

// A result whose document is made only when asked for (result_document_py), held by a capsule.
constexpr const char* kPendingName = "velvin_native.pending_document";

struct PendingDocument {
  std::optional<RepairResult> result;  // empty once its document is made
  PyRef document;                      // the document, once made
};

void release_pending(PyObject* capsule) {
  delete static_cast<PendingDocument*>(PyCapsule_GetPointer(capsule, kPendingName));
}

// The best value of `result` as a Python object, taken out of the result (the caller's reader
// may hold it already): the result's best candidate is left without a value, which its document
// gets back from the caller.
PyObject* take_best_value(RepairResult& result, PyWholeDocument& whole) {
  PyObject* read = whole.take();
  Candidate* best = best_candidate(result);
  if (best == nullptr) return read != nullptr ? read : new_none();
  std::optional<JsonValue> tree = std::exchange(best->value, std::nullopt);
  if (read != nullptr) return read;
  return tree ? json_to_py_consuming(std::move(*tree)) : new_none();
}

// (status, best_index, found, value, confidence, source, pending): what velvin.parse reads first
// of a pipeline run, the rest left in `pending` (a capsule) for result_document_py. The value of
// a valid document is built in the same pass as its parse (see PyWholeDocument). `found` tells
// whether there is a best candidate, whose value and confidence these are (None and 0.0
// otherwise). When the strict route read the value, its normalized_json is None in the document
// and `source` is the (start, end) of the decoded input it was read from, for
// normalized_json_py; `source` is None otherwise.
PyObject* parse_direct_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PipelineArguments call;
    if (!bind_pipeline_arguments(args, kwargs, "O|O:parse_direct_py", call)) return nullptr;
    PyWholeDocument whole;
    RepairResult result = parse_bytes(call.bytes, call.options, whole);
    const Candidate* best = best_candidate(result);
    const bool found = best != nullptr;
    const double confidence = found ? best->confidence : 0.0;
    const std::optional<Span> source = found ? best->value_source : std::nullopt;
    PyRef value(take_best_value(result, whole));
    PyRef status(new_str(result.status));
    PyRef best_index(result.best_index ? new_uint(*result.best_index) : new_none());
    PyRef span(source ? span_tuple(*source) : new_none());
    if (!value || !status || !best_index || !span) return nullptr;
    auto pending = std::make_unique<PendingDocument>();
    pending->result = std::move(result);
    PyRef capsule(PyCapsule_New(pending.get(), kPendingName, release_pending));
    if (!capsule) return nullptr;
    pending.release();  // the capsule owns it now
    PyRef found_flag(new_bool(found));
    PyRef confidence_float(PyFloat_FromDouble(confidence));
    if (!found_flag || !confidence_float) return nullptr;
    return PyTuple_Pack(7, status.get(), best_index.get(), found_flag.get(), value.get(),
                        confidence_float.get(), span.get(), capsule.get());
  });
}

// The result document of a pending result of parse_direct_py, its best candidate's value being
// `value` (the object parse_direct_py gave). Made once: a later call, from another thread that
// asked at the same time, gets the same document.
PyObject* result_document_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"pending", "value", nullptr};
    PyObject* capsule = nullptr;
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:result_document_py",
                                     const_cast<char**>(kwlist), &capsule, &value)) {
      return nullptr;
    }
    auto* pending = static_cast<PendingDocument*>(PyCapsule_GetPointer(capsule, kPendingName));
    if (pending == nullptr) return nullptr;  // not such a capsule: ValueError is set
    if (pending->document) {
      Py_INCREF(pending->document.get());
      return pending->document.get();
    }
    if (!pending->result) {
      PyErr_SetString(PyExc_ValueError, "the document of this result could not be made");
      return nullptr;
    }
    RepairResult result = std::move(*pending->result);
    pending->result.reset();
    const Candidate* best = best_candidate(result);
    const std::size_t best_at = best != nullptr ? *result.best_index : 0;
    PyRef document(result_to_py(std::move(result)));
    if (!document) return nullptr;
    if (best != nullptr) {
      PyObject* candidates = PyDict_GetItemString(document.get(), "candidates");  // borrowed
      Py_INCREF(value);
      if (!set_item(PyList_GetItem(candidates, static_cast<Py_ssize_t>(best_at)), "value", value)) {
        return nullptr;
      }
    }
    Py_INCREF(document.get());
    pending->document = PyRef(document.get());
    return document.release();
  });
}

// The compact text of bytes start..end of the input as the pipeline decodes it, valid JSON there,
// as a candidate's normalized_json.
PyObject* normalized_json_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "start", "end", nullptr};
    PyObject* input = nullptr;
    Py_ssize_t start = 0;
    Py_ssize_t end = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Onn:normalized_json_py",
                                     const_cast<char**>(kwlist), &input, &start, &end)) {
      return nullptr;
    }
    PyRef holder;
    std::string decoded;
    std::string_view text;
    if (!repair_input_text(input, holder, decoded, text)) return nullptr;
    const std::optional<std::string> compact =
        0 <= start && start <= end && static_cast<std::size_t>(end) <= text.size()
            ? compact_json_text(text.substr(static_cast<std::size_t>(start),
                                            static_cast<std::size_t>(end - start)))
            : std::nullopt;
    if (!compact) {
      PyErr_SetString(PyExc_ValueError, "no valid JSON at that span of the input");
      return nullptr;
    }
    return new_str(*compact);
  });
}

// (answer, None) with what `answer` makes of the best candidate of the input, or
// (None, document) when the input has no value: only what the caller returns is converted.
template <typename Answer>
PyObject* best_or_document(PyObject* args, PyObject* kwargs, const char* format, Answer&& answer) {
  PipelineArguments call;
  if (!bind_pipeline_arguments(args, kwargs, format, call)) return nullptr;
  RepairResult result = parse_bytes(call.bytes, call.options);
  const Candidate* best = best_candidate(result);
  PyRef made(best != nullptr ? answer(*best) : new_none());
  PyRef document(best != nullptr ? new_none() : result_to_py(std::move(result)));
  if (!made || !document) return nullptr;
  return PyTuple_Pack(2, made.get(), document.get());
}

// velvin.loads: the best value.
PyObject* loads_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    return best_or_document(args, kwargs, "O|O:loads_py",
                            [](const Candidate& best) { return optional_json_to_py(best.value); });
  });
}

// velvin.repair_json: the best candidate's compact text; None when it carries none (a tape
// result), which the package then describes from the whole document.
PyObject* repair_json_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    return best_or_document(args, kwargs, "O|O:repair_json_py", [](const Candidate& best) {
      return best.normalized_json ? new_str(*best.normalized_json) : new_none();
    });
  });
}

// [(piece, document), ...]: every value of the input, each with the (start, end) of its piece of
// the decoded text and its result document.
PyObject* parse_all_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PipelineArguments call;
    if (!bind_pipeline_arguments(args, kwargs, "O|O:parse_all_py", call)) return nullptr;
    std::vector<PieceResult> pieces = parse_all(call.bytes, call.options);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      PyRef piece(span_tuple(pieces[i].piece));
      PyRef document(result_to_py(std::move(pieces[i].result)));
      if (!piece || !document) return nullptr;
      PyObject* pair = PyTuple_Pack(2, piece.get(), document.get());
      if (pair == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);  // steals `pair`
    }
    return list.release();
  });
}

// The text `velvin --explain` prints for the input (colors off), from a new run of the pipeline;
// with `piece`, for that piece of a text that holds several values, as parse_all_py runs it.
PyObject* explain_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"input", "options", "name", "piece", nullptr};
    PyObject* input = nullptr;
    PyObject* options_arg = nullptr;
    PyObject* name_arg = nullptr;
    PyObject* piece_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:explain_py", const_cast<char**>(kwlist),
                                     &input, &options_arg, &name_arg, &piece_arg)) {
      return nullptr;
    }
    if (!check_options_argument(options_arg)) return nullptr;
    auto options = options_from_dict(options_arg);
    if (!options) return nullptr;
    PyRef name_holder;
    std::string_view name = "<input>";
    if (name_arg != nullptr && name_arg != Py_None) {
      if (!PyUnicode_Check(name_arg)) return raise_argument_error("name", name_arg, "PyString");
      auto text = utf8_of(name_arg, name_holder);
      if (!text) return nullptr;
      name = *text;
    }
    std::optional<Span> piece;
    if (piece_arg != nullptr && piece_arg != Py_None && !read_span_tuple(piece_arg, piece)) {
      return nullptr;
    }
    PyRef holder;
    std::string_view bytes;
    if (!pipeline_input(input, holder, bytes)) return nullptr;
    const RepairResult result = piece ? parse_piece(bytes, *piece, *options) : parse_bytes(bytes, *options);
    return new_str(explain_result(name, bytes, result, *options, ExplainStyle{}));
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
    PyWholeDocument whole;
    auto parsed = parse_root_array_scale(bytes_view(data), *options, whole);
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
    PyObject* read_whole = whole.take();
    PyObject* converted = read_whole != nullptr ? read_whole : json_to_py_consuming(std::move(value));
    if (!set_item(result.get(), "value", converted)) return nullptr;
    return result.release();
  });
}

// [document, ...]: parse_py of each text, in order, the texts parsed on `jobs` threads.
PyObject* parse_many_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    return batch_to_list(args, kwargs, "O|On:parse_many_py",
                         [](std::size_t, RepairResult&& result) {
                           return result_to_py(std::move(result));
                         });
  });
}

// (values, failures): the best value of each text in order (None in the place of a text that
// has none), and (index, document) for each text that has none. Only the best value of the
// others is converted.
PyObject* loads_many_py(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyRef failures(PyList_New(0));
    if (!failures) return nullptr;
    PyRef values(batch_to_list(
        args, kwargs, "O|On:loads_many_py", [&](std::size_t i, RepairResult&& result) -> PyObject* {
          if (const Candidate* best = best_candidate(result)) {
            return optional_json_to_py(best->value);
          }
          PyRef place(new_uint(i));
          PyRef document(result_to_py(std::move(result)));
          if (!place || !document) return nullptr;
          PyRef failure(PyTuple_Pack(2, place.get(), document.get()));
          if (!failure || PyList_Append(failures.get(), failure.get()) != 0) return nullptr;
          return new_none();
        }));
    if (!values) return nullptr;
    return PyTuple_Pack(2, values.get(), failures.get());
  });
}

}  // namespace velvin::py
