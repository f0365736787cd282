#include "core/engine.hpp"

namespace pairfuse::core {

FitResult fit(UnitSeq units, std::uint64_t target_vocab_size) {
  return literal::fit(std::move(units), target_vocab_size);
}

UnitSeq encode(UnitSeq units, const MergeTable& merges) { return literal::encode(std::move(units), merges); }

UnitSeq decode(UnitSeq units, const MergeTable& merges) { return literal::decode(std::move(units), merges); }

}  // namespace pairfuse::core
