#include "concurrent/fast_batch.hpp"

#include <absl/container/flat_hash_map.h>
#include <tbb/enumerable_thread_specific.h>

#include <algorithm>
#include <string_view>

#include "concurrent/pool.hpp"
#include "core/fast_decode.hpp"
#include "core/fast_encode.hpp"
#include "core/inverse_table.hpp"

namespace pairfuse::concurrent::fast {
namespace {

// Sequences per task: enough to make the per-task scratch lookup negligible,
// few enough to balance short batches over the workers.
constexpr std::size_t kBlock = 64;

// Longer sequences are rarely repeated; hashing them would be wasted.
constexpr std::size_t kCachedLengthLimit = 64;

template <typename Fn>
void for_each_block(std::size_t n, Fn&& fn) {
  const std::size_t blocks = (n + kBlock - 1) / kBlock;
  parallel_for(blocks, [&](std::size_t b) { fn(b * kBlock, std::min(n, (b + 1) * kBlock)); });
}

std::string_view bytes_of(const UnitSeq& units) {
  return {reinterpret_cast<const char*>(units.data()), units.size() * sizeof(Unit)};
}

struct EncodeWorker {
  core::fast::Encoder encoder;
  // Content of a sequence -> index of its first occurrence handled by this worker.
  absl::flat_hash_map<std::string_view, std::size_t> seen;
};

}  // namespace

std::vector<UnitSeq> encode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges) {
  const std::size_t n = units_list.size();
  std::vector<UnitSeq> out(n);
  if (merges.empty()) {
    parallel_for(n, [&](std::size_t k) { out[k] = units_list[k]; });
    return out;
  }
  const core::fast::RankedTable table(merges);
  tbb::enumerable_thread_specific<EncodeWorker> workers(
      [&] { return EncodeWorker{core::fast::Encoder(table), {}}; });
  for_each_block(n, [&](std::size_t begin, std::size_t end) {
    EncodeWorker& worker = workers.local();
    for (std::size_t k = begin; k < end; ++k) {
      const UnitSeq& units = units_list[k];
      if (units.size() < 2 || units.size() > kCachedLengthLimit) {
        out[k] = worker.encoder.encode(units);
        continue;
      }
      // The first occurrence was written by this same worker, so reading it is safe.
      auto [it, inserted] = worker.seen.try_emplace(bytes_of(units), k);
      out[k] = inserted ? worker.encoder.encode(units) : out[it->second];
    }
  });
  return out;
}

std::vector<UnitSeq> decode_concurrent(std::vector<UnitSeq> units_list, const MergeTable& merges) {
  const std::size_t n = units_list.size();
  const core::InverseTable inverse = core::build_inverse_table(merges);
  std::vector<UnitSeq> out(n);
  if (inverse.empty()) {
    parallel_for(n, [&](std::size_t k) { out[k] = units_list[k]; });
    return out;
  }
  // Checked up front, in input order, so the error names the same token
  // however the sequences are spread over the workers.
  core::check_expansions_finite(units_list, inverse);
  const core::fast::ExpansionTable table(inverse);
  tbb::enumerable_thread_specific<std::vector<core::fast::ExpansionTable::Slot>> stacks;
  for_each_block(n, [&](std::size_t begin, std::size_t end) {
    auto& stack = stacks.local();
    for (std::size_t k = begin; k < end; ++k) out[k] = table.expand(units_list[k], stack);
  });
  return out;
}

}  // namespace pairfuse::concurrent::fast
