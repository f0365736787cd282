// The distinct pieces of a training input, each with how often it occurs:
// what weighted training takes, gathered piece by piece as the files are
// read, so the input is never held as units all at once.
//
// Performance notes (December 2026, the words of the 11 MB corpus: 1.2
// million pieces, 219 thousand distinct): counting is bound by the hash
// table's memory fetches and by first touches of fresh pages, which cost
// about 3.4 ms per MiB of small pages on the development VM (50 times a huge
// page's cost). With the tables in std::vectors it took 0.14 s, half of it
// page faults; with the tables in huge pages, grown in place, and repeats
// looked up before being stored, 0.06 s on one thread. A big file is also
// cut into chunks at piece starts and counted on the worker pool, each chunk
// into a counter of its own, absorbed in file order afterwards (so pieces
// keep the order of their first occurrence): 0.05 s on the shared 2-core VM,
// of which absorbing the second chunk takes about 0.01 s.
#pragma once

#include <absl/container/flat_hash_set.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/huge_array.hpp"
#include "options.hpp"
#include "types.hpp"
#include "unit_batch.hpp"

namespace pairfuse::cli {

struct CountedPieces {
  UnitBatch sequences;            // each distinct piece once, in order of first occurrence
  std::vector<PairCount> counts;  // how often each occurs
  std::uint64_t units = 0;        // of all pieces, repeats included
  std::uint64_t pieces = 0;
};

// T is char (a file's bytes, each one unit 0..255) or Unit.
template <typename T>
class PieceCounter {
 public:
  PieceCounter();
  // The probe compares through `this`, so a counter stays where it was made.
  PieceCounter(const PieceCounter&) = delete;
  PieceCounter& operator=(const PieceCounter&) = delete;

  // Adds every piece of one file (`how` is words or lines).
  void add_file(std::span<const T> units, Split how);
  void add(std::span<const T> piece, PairCount copies = 1);
  CountedPieces take() &&;

 private:
  // The hash is kept so that growing the table never reads a piece again.
  struct Entry {
    std::uint64_t hash;
    std::size_t index;
  };
  // A piece looked up before it is stored.
  struct Probe {
    std::uint64_t hash;
    std::span<const T> piece;
  };
  struct EntryHash {
    using is_transparent = void;
    std::size_t operator()(const Entry& entry) const { return static_cast<std::size_t>(entry.hash); }
    std::size_t operator()(const Probe& probe) const { return static_cast<std::size_t>(probe.hash); }
  };
  struct EntryEqual {
    using is_transparent = void;
    const PieceCounter* counter;
    bool operator()(const Entry& a, const Entry& b) const;
    bool operator()(const Entry& a, const Probe& b) const;
  };
  std::span<const T> piece(std::size_t index) const {
    return {store_.data() + offsets_[index], offsets_[index + 1] - offsets_[index]};
  }
  // Adds the pieces of another counter, in its order.
  void absorb(const PieceCounter& other);
  // Prepares for adding the pieces of `units` units.
  void expect(std::size_t units);

  core::HugeArray<T> store_;  // the distinct pieces back to back
  core::HugeArray<std::size_t> offsets_;
  core::HugeArray<PairCount> counts_;
  absl::flat_hash_set<Entry, EntryHash, EntryEqual, core::HugePageAllocator<Entry>> index_;
  std::uint64_t units_ = 0;
  std::uint64_t pieces_ = 0;
};

extern template class PieceCounter<char>;
extern template class PieceCounter<Unit>;

}  // namespace pairfuse::cli
