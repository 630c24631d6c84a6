#include "core/ops.hpp"

namespace velvin {

std::optional<Op> op_from_word(std::string_view word) noexcept {
  for (const OpInfo& info : kOpRegistry) {
    if (info.op != Op::Custom && info.word == word) return info.op;
  }
  return std::nullopt;
}

}  // namespace velvin
