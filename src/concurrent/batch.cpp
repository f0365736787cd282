// Batch encoding and decoding on the worker pool with the sequential
// engine's encoder and expansion table. Element k of a result is what
// core::encode/decode give for element k alone.
//
// Invariants
// - Encoding works on each distinct sequence of a batch once
//   (concurrent/distinct_sequences.hpp) and copies its result to every
//   position that holds it: equal sequences have equal results.
// - The table is turned into its encoding or decoding form once per call and
//   shared read-only by all workers; each worker has its own scratch.
// - Decoding of a table with a cycle checks every token up front, in input
//   order, on the calling thread, so the error names the same token however
//   the work is spread (a table without cycles cannot fail). The distinct
//   sequences keep the order of their first occurrences, so the first
//   offending token among them is the first in the whole batch.
//
// Performance notes: work is handed to the pool in blocks of 64 sequences, so
// each block looks up its worker's scratch once. Allocating one result vector
// per sequence and freeing the input's was a fifth of the engine's encoding
// time for the words of the Python standard library (December 2026); batches
// are flat buffers since, and results are written in place. Those words
// repeat (1.2 million, 219,000 distinct): a per-worker cache of the sequences
// already encoded took 0.7 s of CPU for them, finding the distinct ones first
// and encoding each once 0.5 s (0.2 s of it the encoder). Decoding them takes
// 0.22 s either way: finding the repeats and copying the results to their
// positions costs what expanding them does.
#include <tbb/enumerable_thread_specific.h>

#include <algorithm>
#include <cstdint>
#include <new>

#include "concurrent/distinct_sequences.hpp"
#include "concurrent/engine.hpp"
#include "concurrent/pool.hpp"
#include "core/encoder.hpp"
#include "core/expansion_table.hpp"
#include "core/huge_array.hpp"
#include "core/inverse_table.hpp"
#include "core/prepared_table.hpp"

namespace pairfuse::concurrent {
namespace {

// Sequences per task: enough to make the per-task scratch lookup negligible,
// few enough to balance short batches over the workers.
constexpr std::size_t kBlock = 64;

// fn(begin, end) over blocks of the batch's sequences, on the pool unless
// the batch is too small to be worth handing over.
template <typename Fn>
void for_each_block(const UnitBatch& batch, Fn&& fn) {
  const std::size_t n = batch.size();
  const std::size_t blocks = (n + kBlock - 1) / kBlock;
  parallel_for(blocks, batch.units().size(), [&](std::size_t b) { fn(b * kBlock, std::min(n, (b + 1) * kBlock)); });
}

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

UnitBatch encode_concurrent(UnitBatch units_list, const MergeTable& merges) {
  if (merges.empty() || units_list.empty()) return units_list;
  return encode_concurrent(std::move(units_list), core::PreparedTable(merges));
}

UnitBatch decode_concurrent(UnitBatch units_list, const MergeTable& merges) {
  if (merges.empty() || units_list.empty()) return units_list;
  return decode_concurrent(std::move(units_list), core::PreparedTable(merges));
}

}  // namespace pairfuse::concurrent
