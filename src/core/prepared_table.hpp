// A merge table in the forms the engine reads: the table itself, ranked for
// encoding, inverted and expanded for decoding. Made once per merge list and
// kept by whoever calls the engine with that list again, so a call costs what
// its input costs, not what the table costs.
//
// Invariants
// - entries() is what MergeTable gives for the same list: a pair given twice
//   keeps the place of its first entry and the id of its last.
// - The ranked form, the inverse and the full expansion table are made when
//   a call first needs them, once, whichever thread asks first (the ranked
//   form takes over the pair index that removing repeated pairs builds).
//   Read-only otherwise, so one instance serves many threads.
//
// Performance notes (December 2026, the 2-core development VM, the 29,828
// merges learned on the words of the Python standard library): making a
// MergeTable (an absl map) cost 690 us and a RankedTable from it 400 us, the
// inverse map 170 us and the full expansion table 860 us. Flat indexes built
// straight from the list's entries cost about 80 us each, and a trained
// table, already in rank order, needs no sort.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "core/expansion_table.hpp"
#include "core/inverse_table.hpp"
#include "core/ranked_table.hpp"
#include "types.hpp"

namespace pairfuse::core {

// A value made on first use, once, whichever thread asks first. (std::call_once
// took a system call for every new table: a fifth of a small table's call.)
template <typename T>
class MadeOnce {
 public:
  template <typename Make>
  const T& get(Make&& make) const {
    if (!ready_.load(std::memory_order_acquire)) {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!value_) {
        value_.emplace(make());
        ready_.store(true, std::memory_order_release);
      }
    }
    return *value_;
  }
  bool ready() const { return ready_.load(std::memory_order_acquire); }
  const T* if_ready() const { return ready() ? &*value_ : nullptr; }

 private:
  mutable std::mutex mutex_;
  mutable std::optional<T> value_;
  mutable std::atomic<bool> ready_{false};
};

class PreparedTable {
 public:
  // From the entries of a merge list, in list order.
  explicit PreparedTable(std::vector<MergeTable::Entry> list_entries);
  explicit PreparedTable(std::span<const MergeTable::Entry> list_entries)
      : PreparedTable(std::vector<MergeTable::Entry>(list_entries.begin(), list_entries.end())) {}
  explicit PreparedTable(const MergeTable& merges) : PreparedTable(merges.entries()) {}
  PreparedTable(const PreparedTable&) = delete;
  PreparedTable& operator=(const PreparedTable&) = delete;

  std::span<const MergeTable::Entry> entries() const { return entries_; }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  const RankedTable& ranked() const;
  const InverseTable& inverse() const;
  // Every id of the table expanded.
  const ExpansionTable& expansion() const;
  // Whether a decoding call of `tokens` tokens expands only the ids they
  // reach: one with fewer tokens than the table, the first to decode with
  // it. A table used again (kept between calls) is expanded whole, once.
  bool expands_reached_only(std::size_t tokens) const {
    return !expansion_.ready() && tokens < size() && decodes_.fetch_add(1, std::memory_order_relaxed) == 0;
  }

  // What the table takes with all its forms made.
  std::size_t memory_bytes() const;

 private:
  struct Distinct {
    std::vector<MergeTable::Entry> entries;
    RankedTable::PairIndex positions;
  };
  static Distinct without_repeated_pairs(std::vector<MergeTable::Entry> list_entries);
  explicit PreparedTable(Distinct table);

  std::vector<MergeTable::Entry> entries_;
  // The index of the pairs that removing repeated pairs built, until the
  // ranked form takes it over.
  mutable RankedTable::PairIndex pair_positions_;
  MadeOnce<RankedTable> ranked_;
  MadeOnce<InverseTable> inverse_;
  MadeOnce<ExpansionTable> expansion_;
  mutable std::atomic<unsigned> decodes_{0};
};

}  // namespace pairfuse::core
