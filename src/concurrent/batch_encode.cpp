#include "concurrent/batch_encode.hpp"

#include <tbb/enumerable_thread_specific.h>

#include <algorithm>

#include "concurrent/batch_blocks.hpp"
#include "concurrent/distinct_sequences.hpp"
#include "core/encoder.hpp"
#include "core/huge_array.hpp"
#include "core/prepared_table.hpp"

namespace pairfuse::concurrent {
namespace {

// each_distinct(distinct sequences) for every position of the batch.
template <typename EachDistinct>
UnitBatch once_per_distinct(UnitBatch units_list, EachDistinct each_distinct) {
  DistinctBatch distinct = distinct_batch(units_list);
  units_list = UnitBatch();  // freed before the results are made
  return expand_distinct(each_distinct(std::move(distinct.distinct)), distinct.of_input);
}

}  // namespace

UnitBatch encode_each_concurrent(UnitBatch units_list, const core::PreparedTable& prepared) {
  const std::size_t n = units_list.size();
  if (prepared.empty() || n == 0) return units_list;
  const core::RankedTable& table = prepared.ranked();
  // Encoding never lengthens a sequence: each result is written where its
  // input starts, in a buffer of the input's size, and the results are then
  // moved together.
  std::vector<Unit> units = core::zeroed_vector<Unit>(units_list.units().size());
  std::vector<std::size_t> sizes(n);
  tbb::enumerable_thread_specific<core::Encoder> encoders([&] { return core::Encoder(table); });
  for_each_block(units_list, [&](std::size_t begin, std::size_t end) {
    core::Encoder& encoder = encoders.local();
    for (std::size_t k = begin; k < end; ++k) {
      sizes[k] = encoder.encode_into(units_list[k], units.data() + units_list.offsets()[k]);
    }
  });
  // Keeps the offsets; the input's units are freed here.
  std::vector<std::size_t> offsets = std::move(units_list).release().second;
  // Every result moves towards the front, never past one still to be moved.
  std::size_t filled = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t begin = offsets[k];
    std::copy_n(units.data() + begin, sizes[k], units.data() + filled);
    offsets[k] = filled;
    filled += sizes[k];
  }
  offsets[n] = filled;
  units.resize(filled);
  units.shrink_to_fit();
  return UnitBatch(std::move(units), std::move(offsets));
}

UnitBatch encode_concurrent(UnitBatch units_list, const core::PreparedTable& table) {
  if (table.empty() || units_list.empty()) return units_list;
  return once_per_distinct(std::move(units_list),
                           [&](UnitBatch distinct) { return encode_each_concurrent(std::move(distinct), table); });
}

UnitBatch encode_concurrent(UnitBatch units_list, const MergeTable& merges) {
  if (merges.empty() || units_list.empty()) return units_list;
  return encode_concurrent(std::move(units_list), core::PreparedTable(merges));
}

}  // namespace pairfuse::concurrent
