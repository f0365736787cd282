#include "concurrent/batch_decode.hpp"

#include <tbb/enumerable_thread_specific.h>

#include <cstdint>
#include <new>
#include <vector>

#include "concurrent/batch_blocks.hpp"
#include "core/expansion_table.hpp"
#include "core/huge_array.hpp"
#include "core/inverse_table.hpp"
#include "core/prepared_table.hpp"

namespace pairfuse::concurrent {
namespace {

// Two passes: every token's slot and every result's length, then each
// result expanded straight into its place in one buffer.
UnitBatch expand_batch(const UnitBatch& units_list, const core::ExpansionTable& table) {
  const std::size_t n = units_list.size();
  // Checked up front, in input order, so the error names the same token
  // however the sequences are spread over the workers. A table without any
  // cycle needs no per-token check.
  if (table.has_cycle()) table.check_expansions_finite(units_list.units());
  const std::vector<std::size_t>& input_offsets = units_list.offsets();
  auto slots = core::zeroed_vector<core::ExpansionTable::Slot>(units_list.units().size());
  std::vector<std::uint64_t> sizes(n);
  for_each_block(units_list, [&](std::size_t begin, std::size_t end) {
    for (std::size_t k = begin; k < end; ++k) sizes[k] = table.look_up(units_list[k], slots.data() + input_offsets[k]);
  });
  std::vector<std::size_t> offsets(n + 1, 0);
  for (std::size_t k = 0; k < n; ++k) {
    if (__builtin_add_overflow(offsets[k], sizes[k], &offsets[k + 1])) throw std::bad_alloc();
  }
  if (offsets[n] > std::vector<Unit>().max_size()) throw std::bad_alloc();
  std::vector<Unit> units = core::zeroed_vector<Unit>(offsets[n]);
  tbb::enumerable_thread_specific<std::vector<core::ExpansionTable::Slot>> stacks;
  for_each_block(units_list, [&](std::size_t begin, std::size_t end) {
    auto& stack = stacks.local();
    for (std::size_t k = begin; k < end; ++k) {
      table.expand_into(units_list[k], slots.data() + input_offsets[k], units.data() + offsets[k], stack);
    }
  });
  return UnitBatch(std::move(units), std::move(offsets));
}

}  // namespace

UnitBatch decode_each_concurrent(UnitBatch units_list, const core::PreparedTable& table) {
  if (table.empty() || units_list.empty()) return units_list;
  if (table.expands_reached_only(units_list.units().size())) {
    return expand_batch(units_list, core::ExpansionTable(table.inverse(), units_list.units()));
  }
  return expand_batch(units_list, table.expansion());
}

// Expanding is cheap enough that finding repeats first costs as much as it saves.
UnitBatch decode_concurrent(UnitBatch units_list, const core::PreparedTable& table) {
  return decode_each_concurrent(std::move(units_list), table);
}

UnitBatch decode_concurrent(UnitBatch units_list, const MergeTable& merges) {
  if (merges.empty() || units_list.empty()) return units_list;
  return decode_concurrent(std::move(units_list), core::PreparedTable(merges));
}

}  // namespace pairfuse::concurrent
