// velvin_native.StreamParser(options=None): feed(chunk) returns the value so far, close()
// returns the result document of the whole text. The reader's state machine is core code; this
// file keeps the Python objects of what the reader has made final, so every completed member or
// element is converted once and shared by all later values.
#include "stream.hpp"

#include <memory>

#include "convert.hpp"
#include "options.hpp"
#include "repair/stream.hpp"

namespace velvin::py {
namespace {

// For each open container, a list or dict of its completed children; the root once complete.
class PyStreamMirror final : public StreamSink {
 public:
  void on_open(bool is_object, std::string_view key) override {
    if (failed_) return;
    PyRef container(is_object ? PyDict_New() : PyList_New(0));
    PyObject* key_obj = parent_is_object() ? memo_.get(key) : nullptr;
    if (!container || (parent_is_object() && key_obj == nullptr)) {
      failed_ = true;
      return;
    }
    Py_XINCREF(key_obj);
    levels_.push_back({std::move(container), PyRef(key_obj), is_object});
  }

  void on_value(std::string_view key, JsonValue value) override {
    if (failed_) return;
    PyRef item(json_to_py(value, memo_));
    PyObject* key_obj = parent_is_object() ? memo_.get(key) : nullptr;
    failed_ = !item || (parent_is_object() && key_obj == nullptr) ||
              !insert(levels_.back(), key_obj, item.get());
  }

  void on_close() override {
    if (failed_) return;
    Level done = std::move(levels_.back());
    levels_.pop_back();
    if (levels_.empty()) {
      root_ = std::move(done.container);
    } else {
      failed_ = !insert(levels_.back(), done.key.get(), done.container.get());
    }
  }

  [[nodiscard]] bool failed() const { return failed_; }

  // New reference: a fresh copy of each open container from the root down, the deeper one and
  // finally `tail` added to it; completed children are the shared objects. None before a value
  // began; the root itself once complete.
  PyObject* value(const StreamTail& tail) {
    if (root_) {
      Py_INCREF(root_.get());
      return root_.get();
    }
    if (levels_.empty()) return new_none();
    PyRef child;
    if (tail.kind == StreamTail::Kind::String) child = PyRef(new_str(tail.text));
    if (tail.kind == StreamTail::Kind::Number) child = PyRef(json_to_py(tail.number, memo_));
    if (tail.kind != StreamTail::Kind::None && !child) return nullptr;
    PyObject* child_key = child && levels_.back().is_object ? memo_.get(tail.key) : nullptr;
    if (child && levels_.back().is_object && child_key == nullptr) return nullptr;
    for (std::size_t i = levels_.size(); i-- > 0;) {
      const Level& level = levels_[i];
      PyRef copy(level.is_object ? PyDict_Copy(level.container.get())
                                 : PyList_GetSlice(level.container.get(), 0, PY_SSIZE_T_MAX));
      if (!copy) return nullptr;
      if (child && !insert(level.is_object, copy.get(), child_key, child.get())) return nullptr;
      child = std::move(copy);
      child_key = level.key.get();
    }
    return child.release();
  }

 private:
  struct Level {
    PyRef container;
    PyRef key;  // its key in the parent, when the parent is a dict
    bool is_object = false;
  };

  [[nodiscard]] bool parent_is_object() const { return !levels_.empty() && levels_.back().is_object; }

  static bool insert(const Level& level, PyObject* key, PyObject* item) {
    return insert(level.is_object, level.container.get(), key, item);
  }
  // A repeated key keeps its first value: a member once shown never changes while streaming
  // (close() answers as velvin.parse does, with the last one).
  static bool insert(bool is_object, PyObject* container, PyObject* key, PyObject* item) {
    if (!is_object) return PyList_Append(container, item) == 0;
    const int present = PyDict_Contains(container, key);
    if (present != 0) return present > 0;
    return PyDict_SetItem(container, key, item) == 0;
  }

  std::vector<Level> levels_;
  PyRef root_;
  KeyMemo memo_;  // one str object per distinct key for the whole stream
  bool failed_ = false;
};

enum class Input : std::uint8_t { Unknown, Str, Bytes };

struct StreamState {
  explicit StreamState(RepairOptions options) : reader(std::move(options)) {}
  StreamReader reader;
  PyStreamMirror mirror;
  Input input = Input::Unknown;
  bool closed = false;
  bool busy = false;    // a call is running: a second thread gets an error, not a torn state
  bool broken = false;  // a conversion failed halfway; the mirror no longer matches the reader
};

struct StreamObject {
  PyObject_HEAD
  StreamState* state;
};

StreamState& state_of(PyObject* self) { return *reinterpret_cast<StreamObject*>(self)->state; }

class BusyScope {
 public:
  explicit BusyScope(StreamState& state) : state_(state) { state_.busy = true; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;
  ~BusyScope() { state_.busy = false; }

 private:
  StreamState& state_;
};

// Raises and returns false when the parser cannot take a call now.
bool check_usable(StreamState& state, const char* method) {
  if (state.busy) {
    PyErr_Format(PyExc_RuntimeError, "StreamParser.%s() called while another thread is using it",
                 method);
    return false;
  }
  if (state.broken) {
    PyErr_SetString(PyExc_RuntimeError, "StreamParser is unusable after an earlier error");
    return false;
  }
  return true;
}

// The chunk's bytes, or nullopt with TypeError (wrong type, or str and bytes mixed).
std::optional<std::string_view> chunk_bytes(StreamState& state, PyObject* chunk, PyRef& holder) {
  Input kind;
  std::string_view bytes;
  if (PyUnicode_Check(chunk)) {
    auto utf8 = utf8_of(chunk, holder);  // a lone surrogate raises UnicodeEncodeError
    if (!utf8) return std::nullopt;
    kind = Input::Str;
    bytes = *utf8;
  } else if (PyBytes_Check(chunk)) {
    kind = Input::Bytes;
    bytes = bytes_view(chunk);
  } else {
    raise_type_error("feed() takes str or bytes, not " + type_name(chunk));
    return std::nullopt;
  }
  if (bytes.empty()) return bytes;  // an empty chunk fits either kind of stream
  if (state.input != Input::Unknown && state.input != kind) {
    raise_type_error("feed() cannot mix str and bytes chunks in one stream");
    return std::nullopt;
  }
  state.input = kind;
  return bytes;
}

PyObject* stream_feed(PyObject* self, PyObject* chunk) {
  return guarded([&]() -> PyObject* {
    StreamState& state = state_of(self);
    if (!check_usable(state, "feed")) return nullptr;
    if (state.closed) {
      PyErr_SetString(PyExc_ValueError, "feed() after close()");
      return nullptr;
    }
    PyRef holder;
    const auto bytes = chunk_bytes(state, chunk, holder);
    if (!bytes) return nullptr;
    BusyScope busy(state);
    state.reader.feed(*bytes, state.mirror);
    if (state.mirror.failed()) {
      state.broken = true;
      return nullptr;
    }
    return state.mirror.value(state.reader.tail());
  });
}

PyObject* stream_close(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    StreamState& state = state_of(self);
    if (!check_usable(state, "close")) return nullptr;
    BusyScope busy(state);
    state.closed = true;
    return json_to_py_consuming(state.reader.finish().into_json_value());
  });
}

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"options", nullptr};
    PyObject* options_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:StreamParser", const_cast<char**>(kwlist),
                                     &options_arg)) {
      return nullptr;
    }
    if (!check_options_argument(options_arg)) return nullptr;
    auto options = options_from_dict(options_arg);
    if (!options) return nullptr;
    auto state = std::make_unique<StreamState>(std::move(*options));
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<StreamObject*>(self)->state = state.release();
    return self;
  });
}

void stream_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<StreamObject*>(self)->state;
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

template <typename F>
PyCFunction as_cfunction(F fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

PyMethodDef kStreamMethods[] = {
    {"feed", as_cfunction(stream_feed), METH_O, "feed(chunk)\n--\n\n"},
    {"close", as_cfunction(stream_close), METH_NOARGS, "close()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kStreamSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, kStreamMethods},
    {Py_tp_doc, const_cast<char*>("StreamParser(options=None)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec kStreamSpec = {"velvin_native.StreamParser", sizeof(StreamObject), 0,
                           Py_TPFLAGS_DEFAULT, kStreamSlots};

}  // namespace

bool add_stream_type(PyObject* module) {
  PyObject* type = PyType_FromSpec(&kStreamSpec);
  if (type == nullptr) return false;
  if (PyModule_AddObject(module, "StreamParser", type) < 0) {  // steals `type` on success
    Py_DECREF(type);
    return false;
  }
  return true;
}

}  // namespace velvin::py
