#include "state.hpp"

#include <algorithm>
#include <cstring>

namespace velvin::py {

PyModuleDef& velvin_module_def();  // module.cpp

namespace {

std::uint64_t load64(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

std::uint64_t load32(const char* p) {
  std::uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

// Whether the n bytes at a and b are equal; short texts (the usual key) in two overlapping reads
// of each instead of a call.
bool same_bytes(const char* a, const char* b, std::size_t n) {
  if (n >= 8 && n <= 16) return load64(a) == load64(b) && load64(a + n - 8) == load64(b + n - 8);
  if (n >= 4 && n < 8) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
  return std::memcmp(a, b, n) == 0;
}

// A slot index from the key's bytes, read in whole words: a key of 8 bytes or more as its 8-byte
// words with the last one overlapping the one before (a partial last word built byte by byte
// would wait on its own stores), a shorter one from two overlapping 4-byte reads or three bytes.
std::size_t slot_of(std::string_view key) {
  constexpr std::uint64_t kMix = 0xbf58476d1ce4e5b9ULL;
  const char* p = key.data();
  const std::size_t n = key.size();
  std::uint64_t h = 0x9e3779b97f4a7c15ULL ^ n;
  auto mix = [&](std::uint64_t word) {
    h = (h ^ word) * kMix;
    h ^= h >> 31;
  };
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8) mix(load64(p + i));
    mix(load64(p + n - 8));
  } else if (n >= 4) {
    mix(load32(p) | (load32(p + n - 4) << 32));
  } else if (n > 0) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
    mix(byte(0) | (byte(n / 2) << 8) | (byte(n - 1) << 16));
  }
  h *= 0x94d049bb133111ebULL;
  return static_cast<std::size_t>(h >> 53) & (StrCache::kSlots - 1);
}

static_assert(StrCache::kSlots == std::size_t{1} << 11, "slot_of takes the top 11 bits");

PyObject* decode_strict(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* call_no_args(const PyRef& function) { return PyObject_CallObject(function.get(), nullptr); }

// Whether a text's raw JSON form is the text itself: no escape, quote or control byte.
bool plain_text(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\';
  });
}

}  // namespace

void StrCache::handed_out(std::size_t slot) {
  if (last_ != kNone) slots_[last_].next = static_cast<std::uint16_t>(slot);
  last_ = slot;
}

PyObject* StrCache::get(std::string_view key) {
  if (key.size() > max_bytes_) return decode_strict(key);
  if (!slots_) slots_ = std::make_unique<Slot[]>(kSlots);
  const std::size_t at = slot_of(key);
  Slot& slot = slots_[at];
  if (slot.str != nullptr && slot.size == key.size() && same_bytes(slot.bytes, key.data(), key.size())) {
    handed_out(at);
    Py_INCREF(slot.str);
    return slot.str;
  }
  PyObject* str = decode_strict(key);
  if (str == nullptr) return nullptr;
  Py_XDECREF(slot.str);
  Py_INCREF(str);
  slot.str = str;
  slot.size = static_cast<std::uint32_t>(key.size());
  slot.next = kNone;
  slot.plain = plain_text(key);
  if (!key.empty()) std::memcpy(slot.bytes, key.data(), key.size());
  handed_out(at);
  return str;
}

PyObject* StrCache::predicted(const char* raw, std::size_t avail, std::size_t& length) {
  if (last_ == kNone) return nullptr;
  const std::uint16_t at = slots_[last_].next;
  if (at == kNone) return nullptr;
  const Slot& slot = slots_[at];
  if (!slot.plain || slot.str == nullptr || slot.size >= avail || raw[slot.size] != '"' ||
      !same_bytes(slot.bytes, raw, slot.size)) {
    return nullptr;
  }
  last_ = at;
  length = slot.size;
  Py_INCREF(slot.str);
  return slot.str;
}

void StrCache::clear() {
  if (!slots_) return;
  for (std::size_t i = 0; i < kSlots; ++i) Py_CLEAR(slots_[i].str);
}

ModuleState* module_state() {
  PyObject* module = PyState_FindModule(&velvin_module_def());  // borrowed
  if (module == nullptr) return nullptr;
  auto** state = static_cast<ModuleState**>(PyModule_GetState(module));
  return state == nullptr ? nullptr : *state;
}

bool init_module_state(PyObject* module) {
  auto** slot = static_cast<ModuleState**>(PyModule_GetState(module));
  if (slot == nullptr) return false;
  auto state = std::make_unique<ModuleState>();
  PyRef gc(PyImport_ImportModule("gc"));
  if (!gc) return false;
  state->gc.isenabled = PyRef(PyObject_GetAttrString(gc.get(), "isenabled"));
  state->gc.disable = PyRef(PyObject_GetAttrString(gc.get(), "disable"));
  state->gc.enable = PyRef(PyObject_GetAttrString(gc.get(), "enable"));
  if (!state->gc.isenabled || !state->gc.disable || !state->gc.enable) return false;
  *slot = state.release();
  return true;
}

void free_module_state(void* module) {
  auto** slot = static_cast<ModuleState**>(PyModule_GetState(static_cast<PyObject*>(module)));
  if (slot == nullptr) return;
  delete *slot;
  *slot = nullptr;
}

PyObject* key_str(std::string_view key) {
  if (ModuleState* state = module_state()) return state->keys.get(key);
  return decode_strict(key);
}

GcPause::GcPause() {
  ModuleState* state = module_state();
  if (state == nullptr) return;
  PyRef enabled(call_no_args(state->gc.isenabled));
  if (!enabled || PyObject_IsTrue(enabled.get()) != 1) {
    PyErr_Clear();
    return;
  }
  PyRef done(call_no_args(state->gc.disable));
  if (!done) {
    PyErr_Clear();
    return;
  }
  gc_ = &state->gc;
}

GcPause::~GcPause() {
  if (gc_ == nullptr) return;
  // Keep a pending exception (a failed conversion) across the call.
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyRef done(call_no_args(gc_->enable));
  if (!done) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
}

}  // namespace velvin::py
