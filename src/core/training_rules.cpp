#include "core/training_rules.hpp"

#include <fmt/format.h>

#include "fatal.hpp"

namespace pairfuse::core {

std::uint64_t plan_merges(std::optional<Unit> largest_unit, std::uint64_t initial_vocab_size,
                          std::uint64_t target_vocab_size) {
  if (!largest_unit) raise_fatal(std::string(kNoUnitsMessage));
  if (target_vocab_size <= initial_vocab_size) {
    raise_fatal(fmt::format("Target vocab size ({}) must be greater than the initial vocab size ({}).",
                            target_vocab_size, initial_vocab_size));
  }
  return target_vocab_size - initial_vocab_size;
}

Unit next_token_id(Unit last_id, std::uint64_t step) {
  if (last_id == kMaxUnit) {
    raise_fatal(fmt::format("Token id overflow: no id above 2147483647 is left for merge {}.", step));
  }
  return last_id + 1;
}

}  // namespace pairfuse::core
