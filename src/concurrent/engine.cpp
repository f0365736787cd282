#include "concurrent/engine.hpp"

#include "concurrent/fast_batch.hpp"
#include "concurrent/fast_fit_concurrent.hpp"

namespace pairfuse::concurrent {

FitConcurrentResult fit_concurrent(std::vector<UnitSeq> units_list, std::uint64_t target_vocab_size) {
  return fast::fit_concurrent(std::move(units_list), target_vocab_size);
}

std::vector<UnitSeq> encode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges) {
  return fast::encode_concurrent(std::move(units_list), merges);
}

std::vector<UnitSeq> decode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges) {
  return fast::decode_concurrent(std::move(units_list), merges);
}

}  // namespace pairfuse::concurrent
