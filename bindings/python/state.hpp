// What the module keeps between calls, in its per-module state: the cache of object-key str
// objects and the collector's switches. Neither can change a result: a cached key is a str equal
// to the one that would be made, and the collector is only paused while objects are built.
// Every conversion finds the state through module_state(); without it (the module is being torn
// down) keys are made afresh and the collector is left alone.
#pragma once

#include "support.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace velvin::py {

// Object keys repeat within a document and across the documents of a program, and so do short
// string values (names, types, states): a bounded table from a text's bytes to one str object,
// kept across calls. Each text goes to one slot (by hash); a new text takes the slot over. Texts
// longer than the table's limit are made afresh every time.
class StrCache {
 public:
  static constexpr std::size_t kSlots = 2048;
  static constexpr std::size_t kMaxBytes = 48;

  // Texts of up to `max_bytes` (at most kMaxBytes) are kept.
  explicit StrCache(std::size_t max_bytes) : max_bytes_(max_bytes) {}
  StrCache(const StrCache&) = delete;
  StrCache& operator=(const StrCache&) = delete;
  ~StrCache() { clear(); }

  // A new reference to a str of the UTF-8 `text`, or nullptr with an exception set. Bytes that
  // are not UTF-8 raise UnicodeDecodeError and are not kept.
  PyObject* get(std::string_view text);
  void clear();

  // Keys come in the same order object after object. When the raw text `raw` (the `avail` bytes
  // after a key's opening quote) begins with the key that followed the last one handed out, the
  // last time that one was, and with its closing quote, that key: a new reference, its length
  // in `length`. nullptr otherwise (no exception set). Only keys whose raw text is their own
  // (no escape, quote or control byte) are offered, so the raw text is exactly the key.
  PyObject* predicted(const char* raw, std::size_t avail, std::size_t& length);

 private:
  static constexpr std::uint16_t kNone = 0xFFFF;
  struct Slot {
    PyObject* str = nullptr;
    std::uint32_t size = 0;
    std::uint16_t next = kNone;  // the slot of the key handed out after this one, last time
    bool plain = false;          // the text has no escape, quote or control byte
    char bytes[kMaxBytes];
  };
  void handed_out(std::size_t slot);
  std::unique_ptr<Slot[]> slots_;  // made on first use
  std::size_t max_bytes_;
  std::size_t last_ = kNone;  // the slot of the last text handed out
};

// The collector's isenabled, disable and enable, looked up once.
struct GcSwitches {
  PyRef isenabled, disable, enable;
};

struct ModuleState {
  StrCache keys{StrCache::kMaxBytes};
  // Values longer than this are mostly unique (texts, URLs, ids): keeping them would only churn.
  StrCache short_values{0};
  GcSwitches gc;
};

// The state of the imported module, or nullptr when there is none (during teardown).
ModuleState* module_state();

// Module lifecycle: made when the module is, released with it.
bool init_module_state(PyObject* module);
void free_module_state(void* module);

// A new reference to a str of the UTF-8 `key`, through the module's cache when there is one.
PyObject* key_str(std::string_view key);

// Pauses the collector while a large batch of objects is built: a collection triggered inside
// the build would walk all the new objects again and again. Restores the collector's state (and
// keeps any pending exception) when it ends.
class GcPause {
 public:
  GcPause();
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
  ~GcPause();

 private:
  GcSwitches* gc_ = nullptr;  // set while paused
};

}  // namespace velvin::py
