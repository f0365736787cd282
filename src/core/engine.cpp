#include "core/engine.hpp"

#include "core/fast_decode.hpp"
#include "core/fast_encode.hpp"
#include "core/fast_fit.hpp"

namespace pairfuse::core {

FitResult fit(UnitSeq units, std::uint64_t target_vocab_size) {
  return fast::fit(std::move(units), target_vocab_size);
}

UnitSeq encode(UnitSeq units, const MergeTable& merges) { return fast::encode(std::move(units), merges); }

UnitSeq decode(UnitSeq units, const MergeTable& merges) { return fast::decode(std::move(units), merges); }

}  // namespace pairfuse::core
