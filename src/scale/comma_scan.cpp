#include "scale/comma_scan.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <utility>

#include "core/scan.hpp"

namespace velvin {

// ---------------------------------------------------------------------------------------------
// Worker passes

namespace {

[[gnu::cold]] Error spawn_failure() {
  return Error{ErrorCode::thread_start_failed, 0, "failed to spawn thread"};
}

[[gnu::cold]] Error panic_failure() { return Error{ErrorCode::worker_failed, 0, "worker panicked"}; }

}  // namespace

WorkerOutcome run_worker_pass(std::size_t threads, const std::function<WorkerOutcome()>& worker,
                              const ThreadStarter& start, const std::function<void()>& alongside) {
  // A pass of one worker gains nothing from a thread, and small pieces make such passes by the
  // thousand (every element of a split document may be planned and split again): it runs here.
  // With work alongside, the one worker must run beside it, so it gets its thread.
  if (threads == 1 && !alongside) {
    try {
      return worker();
    } catch (...) {
      return panic_failure();
    }
  }
  std::vector<WorkerOutcome> outcomes(threads);
  // Set by a worker whose body threw; a flag, because building the message could throw again.
  std::vector<unsigned char> panicked(threads, 0);
  std::vector<std::thread> running;
  running.reserve(threads);
  bool spawn_failed = false;
  for (std::size_t i = 0; i < threads; ++i) {
    auto body = [&worker, &outcomes, &panicked, i]() noexcept {
      try {
        outcomes[i] = worker();
      } catch (...) {
        panicked[i] = 1;
      }
    };
    try {
      running.push_back(start ? start(body) : std::thread(body));
    } catch (...) {
      spawn_failed = true;
      break;
    }
  }
  if (alongside) alongside();
  for (std::thread& t : running) {
    if (t.joinable()) t.join();
  }
  if (spawn_failed) return spawn_failure();
  for (std::size_t i = 0; i < running.size(); ++i) {
    if (panicked[i] != 0) return panic_failure();
    if (outcomes[i]) return std::move(outcomes[i]);
  }
  return std::nullopt;
}

namespace {

// ---------------------------------------------------------------------------------------------
// Blocks: 64 bytes at a time, one bit mask per byte class.

struct BlockMasks {
  std::uint64_t quote = 0;
  std::uint64_t backslash = 0;
  std::uint64_t open = 0;     // '[' or '{'
  std::uint64_t close = 0;    // ']' or '}'
  std::uint64_t objkind = 0;  // bit 5 of the byte: set for '{' and '}', clear for '[' and ']'
  std::uint64_t comma = 0;
  std::uint64_t colon = 0;
  std::uint64_t space = 0;  // bytes up to 0x20: white space and control bytes
};

// The transducer needs only strings and brackets (kFull false); the collecting scan needs
// commas, colons and white space too.
template <bool kFull>
inline BlockMasks classify(const char* p) noexcept {
  using namespace scan;
  if constexpr (kFull) {
    const auto [quote, backslash, open, close, objkind, comma, colon, space] =
        scan::classify<Bytes<'"'>, Bytes<'\\'>, Folded<'{'>, Folded<'}'>, HasBit<0x20>, Bytes<','>,
                       Bytes<':'>, ControlOrSpace>(p);
    return BlockMasks{quote, backslash, open, close, objkind, comma, colon, space};
  } else {
    const auto [quote, backslash, open, close, objkind] =
        scan::classify<Bytes<'"'>, Bytes<'\\'>, Folded<'{'>, Folded<'}'>, HasBit<0x20>>(p);
    return BlockMasks{quote, backslash, open, close, objkind};
  }
}

// One block of a range: its bytes (padded with spaces past `len`) and masks.
struct Block {
  const char* p;
  std::size_t len;
  BlockMasks masks;

  [[nodiscard]] scan::StringTracker::Block strings(scan::StringTracker& tracker) const noexcept {
    return tracker.advance(masks.quote, masks.backslash, p, len);
  }
};

template <bool kFull>
Block block_of(scan::Blocks& blocks) noexcept {
  const char* p = blocks.bytes();
  return Block{p, blocks.size(), classify<kFull>(p)};
}

[[gnu::always_inline]] inline std::int64_t popcount(std::uint64_t x) noexcept {
  return std::popcount(x);
}

// The scanning loops count bits several times per 64-byte block. A baseline x86-64 build turns
// each count into a library call; these loops are therefore also compiled for CPUs with the
// popcnt instruction and the better version is chosen when the program is loaded.
#if defined(__GNUC__) && defined(__x86_64__) && defined(__linux__)
#define VELVIN_SCAN_KERNEL __attribute__((target_clones("popcnt", "default")))
#else
#define VELVIN_SCAN_KERNEL
#endif

// A byte that can belong to a number or literal token: not white space (or a control byte),
// not a quote and not structural.
inline bool is_scalar_byte(unsigned char c) noexcept {
  return c > 0x20 && c != '"' && c != '[' && c != ']' && c != '{' && c != '}' && c != ',' &&
         c != ':';
}

// One run of the automaton for the transducer: string flags and depth deltas.
struct Simulation {
  scan::StringTracker strings;
  std::int64_t obj = 0;
  std::int64_t arr = 0;
  int follows = -1;  // index of an earlier simulation this one merged into, or -1
  std::int64_t obj_offset = 0;
  std::int64_t arr_offset = 0;

  [[nodiscard]] bool same_strings(const Simulation& other) const noexcept {
    return strings.in_string() == other.strings.in_string() &&
           strings.escaped() == other.strings.escaped();
  }

  void step(const Block& b) noexcept {
    const std::uint64_t outside = ~b.strings(strings).in_string;
    const std::uint64_t obj_kind = b.masks.objkind;
    obj += popcount(b.masks.open & obj_kind & outside) - popcount(b.masks.close & obj_kind & outside);
    arr += popcount(b.masks.open & ~obj_kind & outside) -
           popcount(b.masks.close & ~obj_kind & outside);
  }
};

// The collecting run: root-level commas, entry counts and structural bytes over a range.
class Collector {
 public:
  Collector(const ScanState& entry, ScanDepths target, bool prev_scalar)
      : obj_(entry.obj_depth),
        arr_(entry.arr_depth),
        strings_(entry.in_string, entry.escaped),
        target_(target),
        prev_scalar_(prev_scalar ? 1U : 0U) {}

  void step(const Block& b, std::uint64_t base) {
    const scan::StringTracker::Block s = b.strings(strings_);
    const BlockMasks& m = b.masks;
    const std::uint64_t valid = scan::first_bytes_mask(b.len);
    const std::uint64_t outside = ~s.in_string;
    const std::uint64_t brackets = (m.open | m.close) & outside;
    const std::uint64_t commas = m.comma & outside;
    structural_ += popcount((brackets | commas | (m.colon & outside)) & valid);
    const std::uint64_t scalar =
        ~(m.space | m.quote | m.open | m.close | m.comma | m.colon) & outside & valid;
    const std::uint64_t starts = scalar & ~((scalar << 1) | prev_scalar_);
    prev_scalar_ = scalar >> 63;
    const std::uint64_t open_quotes = s.quotes & s.in_string;
    const std::uint64_t tokens = brackets | (open_quotes & valid) | starts;

    const std::uint64_t block_entries = static_cast<std::uint64_t>(popcount(tokens));
    if (brackets == 0) {
      if (commas != 0 && obj_ == target_.obj && arr_ == target_.arr) {
        record_at_target(m, brackets, commas, tokens, base);
      }
      entries_ += block_entries;
      return;
    }
    // Each depth can fall by at most its closers in the block and rise by at most its openers:
    // inside the elements of a root container most blocks cannot reach the target depths.
    const std::uint64_t obj = brackets & m.objkind;
    const std::uint64_t arr = brackets & ~m.objkind;
    const std::int64_t obj_open = popcount(obj & m.open), obj_close = popcount(obj & m.close);
    const std::int64_t arr_open = popcount(arr & m.open), arr_close = popcount(arr & m.close);
    if (commas != 0 && obj_ - obj_close <= target_.obj && target_.obj <= obj_ + obj_open &&
        arr_ - arr_close <= target_.arr && target_.arr <= arr_ + arr_open) {
      record_at_target(m, brackets, commas, tokens, base);
    }
    obj_ += obj_open - obj_close;
    arr_ += arr_open - arr_close;
    entries_ += block_entries;
  }

  InteriorScan finish() && {
    InteriorScan out;
    out.commas = std::move(commas_);
    out.entries_before = std::move(entries_before_);
    out.entries = entries_;
    out.structural = structural_;
    out.exit = ScanState{obj_, arr_, strings_.in_string(), strings_.escaped()};
    return out;
  }

 private:
  // Records the commas that sit at the target depths. The depth at a comma is the depth at the
  // block start plus the brackets before it, counted with masks rather than walked one by one.
  void record_at_target(const BlockMasks& m, std::uint64_t brackets, std::uint64_t commas,
                        std::uint64_t tokens, std::uint64_t base) {
    const std::uint64_t obj_open = brackets & m.objkind & m.open;
    const std::uint64_t obj_close = brackets & m.objkind & m.close;
    const std::uint64_t arr_open = brackets & ~m.objkind & m.open;
    const std::uint64_t arr_close = brackets & ~m.objkind & m.close;
    while (commas != 0) {
      const unsigned bit = static_cast<unsigned>(std::countr_zero(commas));
      commas &= commas - 1;
      const std::uint64_t below = (std::uint64_t{1} << bit) - 1;
      const std::int64_t obj = obj_ + popcount(obj_open & below) - popcount(obj_close & below);
      const std::int64_t arr = arr_ + popcount(arr_open & below) - popcount(arr_close & below);
      if (obj != target_.obj || arr != target_.arr) continue;
      commas_.push_back(base + bit);
      entries_before_.push_back(entries_ + static_cast<std::uint64_t>(popcount(tokens & below)));
    }
  }

  std::int64_t obj_;
  std::int64_t arr_;
  scan::StringTracker strings_;
  ScanDepths target_;
  std::uint64_t prev_scalar_;
  std::uint64_t entries_ = 0;
  std::uint64_t structural_ = 0;
  std::vector<std::uint64_t> commas_;
  std::vector<std::uint64_t> entries_before_;
};

// The collecting scan of bytes[begin, end) entered in `entry`.
VELVIN_SCAN_KERNEL InteriorScan collect_range(std::string_view bytes, std::uint64_t begin, std::uint64_t end,
                           const ScanState& entry, ScanDepths target) {
  // A scalar token that runs across the range start must not be counted twice: outside a
  // string, the byte before is a quote (closing a string) or was itself scanned outside one.
  const bool prev_scalar =
      !entry.in_string && begin > 0 && is_scalar_byte(scan::byte_at(bytes, begin - 1));
  Collector collector(entry, target, prev_scalar);
  for (scan::Blocks blocks(bytes.data(), end, begin); !blocks.done(); blocks.next()) {
    collector.step(block_of<true>(blocks), blocks.base());
  }
  return std::move(collector).finish();
}

VELVIN_SCAN_KERNEL ChunkTransducer transducer_of(const char* data, std::size_t n) {
  // Entry states 0 (outside), 2 (inside) and 3 (inside, first byte escaped); 1 behaves as 0.
  std::array<Simulation, 3> sims;
  sims[1].strings = scan::StringTracker(true, false);
  sims[2].strings = scan::StringTracker(true, true);
  for (scan::Blocks blocks(data, n, 0); !blocks.done(); blocks.next()) {
    const Block block = block_of<false>(blocks);
    for (std::size_t k = 0; k < sims.size(); ++k) {
      if (sims[k].follows < 0) sims[k].step(block);
    }
    // Once two simulations reach the same string state they stay together: the later one
    // follows the earlier at a constant depth offset.
    for (std::size_t k = 1; k < sims.size(); ++k) {
      if (sims[k].follows >= 0) continue;
      for (std::size_t j = 0; j < k; ++j) {
        if (sims[j].follows < 0 && sims[j].same_strings(sims[k])) {
          sims[k].follows = static_cast<int>(j);
          sims[k].obj_offset = sims[k].obj - sims[j].obj;
          sims[k].arr_offset = sims[k].arr - sims[j].arr;
          // Whoever followed k now follows j.
          for (Simulation& m : sims) {
            if (m.follows == static_cast<int>(k)) {
              m.follows = static_cast<int>(j);
              m.obj_offset += sims[k].obj_offset;
              m.arr_offset += sims[k].arr_offset;
            }
          }
          break;
        }
      }
    }
  }
  auto outcome = [&](const Simulation& s) {
    const Simulation& leader = s.follows >= 0 ? sims[static_cast<std::size_t>(s.follows)] : s;
    const std::int64_t obj = s.follows >= 0 ? leader.obj + s.obj_offset : s.obj;
    const std::int64_t arr = s.follows >= 0 ? leader.arr + s.arr_offset : s.arr;
    return TransducerOutcome{obj, arr, leader.strings.in_string(), leader.strings.escaped()};
  };
  ChunkTransducer t;
  t.outcomes[0] = outcome(sims[0]);
  t.outcomes[1] = t.outcomes[0];
  t.outcomes[2] = outcome(sims[1]);
  t.outcomes[3] = outcome(sims[2]);
  return t;
}

struct Chunk {
  std::uint64_t start;
  std::uint64_t end;
};

std::vector<Chunk> make_chunks(std::uint64_t begin, std::uint64_t end, std::size_t chunk_bytes) {
  const std::uint64_t step = std::max<std::size_t>(chunk_bytes, 1);
  std::vector<Chunk> chunks;
  chunks.reserve(static_cast<std::size_t>((end - begin) / step + 1));
  // `step` may be as large as the type allows: s + step would wrap, end - s cannot.
  for (std::uint64_t s = begin; s < end; s += std::min(step, end - s)) {
    chunks.push_back({s, s + std::min(step, end - s)});
  }
  return chunks;
}

}  // namespace

ChunkTransducer compute_transducer(std::string_view chunk) {
  return transducer_of(chunk.data(), chunk.size());
}

std::vector<std::uint64_t> scan_chunk_commas(std::string_view bytes, std::uint64_t chunk_start,
                                             std::uint64_t chunk_end, const ScanState& entry,
                                             std::int64_t target_obj, std::int64_t target_arr) {
  chunk_end = std::min<std::uint64_t>(chunk_end, bytes.size());
  if (chunk_start >= chunk_end) return {};
  return collect_range(bytes, chunk_start, chunk_end, entry, ScanDepths{target_obj, target_arr})
      .commas;
}

InteriorScan scan_interior_serial(std::string_view bytes, std::uint64_t begin, std::uint64_t end,
                                  ScanDepths initial, ScanDepths target) {
  end = std::min<std::uint64_t>(end, bytes.size());
  const ScanState entry{initial.obj, initial.arr, false, false};
  if (begin >= end) {
    InteriorScan empty;
    empty.exit = entry;
    return empty;
  }
  return collect_range(bytes, begin, end, entry, target);
}

Result<InteriorScan> scan_interior_parallel(std::string_view bytes, std::uint64_t begin,
                                            std::uint64_t end, ScanDepths initial,
                                            ScanDepths target, std::size_t workers,
                                            std::size_t chunk_bytes,
                                            const ThreadStarter& start_thread) {
  end = std::min<std::uint64_t>(end, bytes.size());
  const ScanState initial_state{initial.obj, initial.arr, false, false};
  // An interior of white space only (as in "[ ]") has nothing to find: no threads for it.
  if (scan::skip_space(bytes.substr(0, end), begin) >= end) {
    InteriorScan empty;
    empty.exit = initial_state;
    return empty;
  }
  const std::vector<Chunk> chunks = make_chunks(begin, end, chunk_bytes);
  const std::size_t threads = std::min(chunks.size(), std::max<std::size_t>(workers, 1));
  const char* data = bytes.data();

  // First pass: each chunk's effect for every entry string state.
  SlotTable<ChunkTransducer> transducers(chunks.size());
  {
    WorkCounter counter(chunks.size());
    auto worker = [&]() -> WorkerOutcome {
      while (auto k = counter.next()) {
        const Chunk& c = chunks[*k];
        transducers.store(*k, transducer_of(data + c.start, static_cast<std::size_t>(c.end - c.start)));
      }
      return std::nullopt;
    };
    if (auto error = run_worker_pass(threads, worker, start_thread)) return std::move(*error);
  }
  std::vector<std::optional<ChunkTransducer>> effects = transducers.take();

  // Serial composition: the true entry state of every chunk.
  std::vector<ScanState> entries;
  entries.reserve(chunks.size());
  ScanState state = initial_state;
  for (const auto& effect : effects) {
    if (!effect) return Error{ErrorCode::worker_failed, 0, "missing transducer"};
    entries.push_back(state);
    const TransducerOutcome& o = effect->at(state);
    state.obj_depth += o.obj_delta;
    state.arr_depth += o.arr_delta;
    state.in_string = o.in_string;
    state.escaped = o.in_string && o.escaped;
  }

  // Second pass: the commas of each chunk from its known entry state.
  SlotTable<InteriorScan> scans(chunks.size());
  {
    WorkCounter counter(chunks.size());
    auto worker = [&]() -> WorkerOutcome {
      while (auto k = counter.next()) {
        const Chunk& c = chunks[*k];
        scans.store(*k, collect_range(bytes, c.start, c.end, entries[*k], target));
      }
      return std::nullopt;
    };
    if (auto error = run_worker_pass(threads, worker, start_thread)) return std::move(*error);
  }

  // Merge in chunk order; entry counts become counts from the interior's start.
  std::vector<std::optional<InteriorScan>> parts = scans.take();
  InteriorScan out;
  std::size_t total_commas = 0;
  for (const auto& part : parts) {
    if (part) total_commas += part->commas.size();
  }
  out.commas.reserve(total_commas);
  out.entries_before.reserve(total_commas);
  for (auto& part : parts) {
    if (!part) continue;
    out.commas.insert(out.commas.end(), part->commas.begin(), part->commas.end());
    for (std::uint64_t before : part->entries_before) out.entries_before.push_back(out.entries + before);
    out.entries += part->entries;
    out.structural += part->structural;
    part.reset();
  }
  out.exit = state;
  return out;
}

CommaResult find_commas(std::string_view bytes, std::uint64_t interior_start,
                        std::uint64_t interior_end, ScanDepths initial, ScanDepths target,
                        std::size_t workers, std::size_t chunk_bytes,
                        const ThreadStarter& start_thread) {
  auto scan = scan_interior_parallel(bytes, interior_start, interior_end, initial, target, workers,
                                     chunk_bytes, start_thread);
  if (!scan) return std::move(scan).error();
  return std::move(scan.value().commas);
}

namespace {

bool is_container_span(std::string_view bytes, std::uint64_t start, std::uint64_t end, char open,
                       char close) {
  return start < end && end <= bytes.size() && bytes[start] == open && bytes[end - 1] == close;
}

}  // namespace

CommaResult find_root_array_commas(std::string_view bytes, std::uint64_t start, std::uint64_t end,
                                   std::size_t workers, std::size_t chunk_bytes,
                                   const ThreadStarter& start_thread) {
  if (!is_container_span(bytes, start, end, '[', ']')) {
    return Error{ErrorCode::not_a_container, start, "not a root array span"};
  }
  return find_commas(bytes, start + 1, end - 1, ScanDepths{0, 1}, ScanDepths{0, 1}, workers,
                     chunk_bytes, start_thread);
}

CommaResult find_root_object_commas(std::string_view bytes, std::uint64_t start,
                                    std::uint64_t end, std::size_t workers,
                                    std::size_t chunk_bytes, const ThreadStarter& start_thread) {
  if (!is_container_span(bytes, start, end, '{', '}')) {
    return Error{ErrorCode::not_a_container, start, "not a root object span"};
  }
  return find_commas(bytes, start + 1, end - 1, ScanDepths{1, 0}, ScanDepths{1, 0}, workers,
                     chunk_bytes, start_thread);
}

}  // namespace velvin
