// The incremental pair trainer shared by the fast `fit` and `fit_concurrent`.
//
// It trains over any number of sequences, each with a weight (how many
// identical copies it stands for), laid out back to back as linked nodes:
//
// - Units become dense symbols: the distinct input units, sorted, get
//   0, 1, 2, ..., and every merge appends the next symbol. Symbol order is
//   unit order, since new ids are always above every unit seen so far.
// - Each node holds its symbol, the indices of its live neighbours (`prev`,
//   `next`; kNone at a sequence boundary, so no window joins two sequences)
//   and the pair index of the window it starts (kNoPair when it has no right
//   neighbour or has been merged away: a tombstone).
// - Pairs are interned into dense indices. Per pair: its weighted count, kept
//   exact at every step, and its occurrence list, a segment of one shared
//   arena of node indices.
// - A lazy max-heap of (count, pair) entries chooses the pair: the pair of
//   highest count, the smallest pair among equal counts
//   (core::better_training_candidate).
//
// Invariants between steps:
// - counts[p] is the sum of the weights of the live windows whose pair is p;
// - every live window of pair p appears in p's occurrence list, which is in
//   strictly ascending node order (entries whose window has changed since are
//   stale: a node belongs to p's window exactly when its `pair` field says p);
// - every pair with a positive count has exactly one heap entry, whose count
//   is at least the live count.
//
// A step visits only the occurrences of the chosen pair, in ascending order,
// so a run a a a a merges left to right without overlap exactly as
// core::merge does. Pairs that gain windows do so only in the step that
// creates their newer member; the step buffers those windows and appends
// each new pair's occurrences, already in order, at the end of the step.
//
// Performance notes. Measured on the 11 MB Python-library corpus (bytes),
// 2-core machine, see bench/fit_bench.cpp:
// - Nodes are one 16-byte struct (array of structs): a replacement touches
//   four neighbouring nodes, usually one or two cache lines, where separate
//   symbol/link/pair arrays cost four misses.
// - No hash lookup in a step: the window removed at a node is identified by
//   the node's `pair` field, and the windows a step creates all contain the
//   new symbol, so two per-step arrays indexed by the other symbol (reset at
//   the end of the step) find their pair indices.
// - Occurrence lists live in one arena rather than a vector per pair (there
//   are millions of pairs; a vector header alone would be 24 bytes each).
//   Segments of merged pairs become garbage; the arena is compacted in place
//   when it would otherwise have to grow while half of it is garbage.
// - The first counting pass uses a dense (left, right) table when the
//   vocabulary is small (bytes), a hash map otherwise; it runs per chunk of
//   nodes, so the parallel engine spreads it over the pool.
// - Node indices are 32-bit below 2^30 nodes (arena offsets and pair indices
//   stay below 2^32 then) and 64-bit above.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "core/training.hpp"
#include "types.hpp"

namespace pairfuse::core::fast {

using Symbol = std::uint32_t;

// Smallest and largest unit of some sequences; `any` is false before the first unit.
struct UnitBounds {
  Unit min = std::numeric_limits<Unit>::max();
  Unit max = std::numeric_limits<Unit>::min();
  bool any = false;

  void add(std::span<const Unit> units);
  static UnitBounds join(const UnitBounds& a, const UnitBounds& b);
  std::optional<Unit> largest() const { return any ? std::optional<Unit>(max) : std::nullopt; }
};

// Collects distinct units: a bitmap over [min, max] when that range is small
// next to the input, else a hash set. Collectors with equal bounds and hints
// can be filled separately and joined.
class UnitCollector {
 public:
  UnitCollector() = default;
  UnitCollector(const UnitBounds& bounds, std::size_t unit_count_hint);

  void add(std::span<const Unit> units);
  void absorb(const UnitCollector& other);
  std::vector<Unit> sorted_units() const;

 private:
  UnitBounds bounds_;
  bool bitmap_mode_ = false;
  std::vector<std::uint64_t> bits_;
  absl::flat_hash_set<Unit> set_;
};

// Unit -> dense symbol for the sorted distinct units of the input, and back.
class SymbolTable {
 public:
  explicit SymbolTable(std::vector<Unit> sorted_units);

  Symbol symbol_of(Unit unit) const {
    if (direct_) return direct_table_[static_cast<std::uint32_t>(unit) - static_cast<std::uint32_t>(base_)];
    return hashed_table_.find(unit)->second;
  }
  const std::vector<Unit>& units() const { return units_; }
  std::size_t size() const { return units_.size(); }

 private:
  std::vector<Unit> units_;
  bool direct_ = false;
  Unit base_ = 0;
  std::vector<Symbol> direct_table_;
  absl::flat_hash_map<Unit, Symbol> hashed_table_;
};

// Inputs smaller than this train with 32-bit node indices.
inline constexpr std::size_t kNarrowIndexLimit = std::size_t{1} << 30;

template <typename Index, bool Weighted>
class PairTrainer {
 public:
  static constexpr Index kNone = std::numeric_limits<Index>::max();
  static constexpr Index kNoPair = std::numeric_limits<Index>::max();

  // Pair occurrences counted over one range of nodes, filled by tally() and
  // turned by index_pairs() into write cursors for place().
  class Tally {
    friend class PairTrainer;
    struct Cell {
      Index occurrences = 0;
      PairCount weight = 0;
      Index pair = 0;
    };
    std::vector<Index> dense_occurrences_;
    std::vector<PairCount> dense_weights_;
    absl::flat_hash_map<std::uint64_t, Cell> cells_;
  };

  // Sequence d occupies nodes [sequence_begin[d], sequence_begin[d + 1]);
  // `sequence_begin` has one entry more than there are sequences.
  PairTrainer(SymbolTable symbols, std::vector<Index> sequence_begin);

  PairTrainer(const PairTrainer&) = delete;
  PairTrainer& operator=(const PairTrainer&) = delete;

  // Setup, in this order. load_sequence() for every sequence (different
  // sequences may be loaded from several threads at once); tally() over
  // ranges of nodes that cover [0, node_count()) (concurrently); index_pairs()
  // with the tallies in range order; place() for each tally and its range
  // (concurrently); start(). count_pairs() does the last four on one thread.
  void load_sequence(std::size_t d, std::span<const Unit> units, PairCount weight);
  Tally tally(Index begin, Index end) const;
  void index_pairs(std::span<Tally> tallies);
  void place(Tally& tally, Index begin, Index end);
  void start();
  void count_pairs();

  // The pair to merge next, or nothing when no window is left.
  std::optional<UnitPair> best_pair();
  // Merges the pair best_pair() has just returned into the new token `id`.
  void merge_best(Unit id);

  Index node_count() const { return static_cast<Index>(nodes_.size()); }
  std::size_t sequence_count() const { return sequence_begin_.size() - 1; }
  // The current units of sequence d, written into `out` (replacing its contents).
  void write_sequence(std::size_t d, UnitSeq& out) const;
  UnitSeq sequence(std::size_t d) const;

  struct Stats {
    std::size_t pairs = 0;
    std::size_t arena_capacity = 0;
    std::size_t heap_capacity = 0;
    std::size_t compactions = 0;
  };
  Stats stats() const;

 private:
  struct NoWeight {};
  using Weight = std::conditional_t<Weighted, PairCount, NoWeight>;
  struct Node {
    Symbol symbol;
    Index prev;
    Index next;
    Index pair;
    [[no_unique_address]] Weight weight;
  };
  struct HeapEntry {
    TrainingCandidate candidate;
    Index pair;
  };
  struct FreshWindow {
    Index pair;
    Index node;
  };

  static PairCount weight_of(const Node& node) {
    if constexpr (Weighted) {
      return node.weight;
    } else {
      return 1;
    }
  }
  bool dense_tally() const { return dense_tally_; }
  UnitPair unit_pair(Index pair) const;
  Index new_pair(Symbol left, Symbol right);
  void finish_step(Symbol fresh_symbol);
  void reserve_arena(std::size_t extra);
  void compact_arena();
  void heap_push(const HeapEntry& entry);
  void heap_pop();
  void heap_sift_down(std::size_t hole, HeapEntry entry);

  std::vector<Unit> symbol_units_;
  std::vector<Index> sequence_begin_;
  SymbolTable symbols_;
  std::vector<Node> nodes_;

  // Per pair: symbols (left << 32 | right), weighted count, occurrence segment.
  std::vector<std::uint64_t> pair_symbols_;
  std::vector<PairCount> counts_;
  std::vector<Index> occurrence_begin_;
  std::vector<Index> occurrence_size_;
  std::vector<Index> arena_;
  std::size_t arena_garbage_ = 0;
  std::size_t compactions_ = 0;

  bool dense_tally_ = false;
  std::vector<Index> dense_cell_pair_;

  std::vector<HeapEntry> heap_;
  bool have_best_ = false;

  // Step state: pair index of (s, new) by s, of (new, s) by s, and the
  // windows created, in the order created.
  std::vector<Index> left_slot_;
  std::vector<Index> right_slot_;
  std::vector<FreshWindow> fresh_;
  std::vector<Index> group_cursor_;
};

extern template class PairTrainer<std::uint32_t, false>;
extern template class PairTrainer<std::uint32_t, true>;
extern template class PairTrainer<std::uint64_t, false>;
extern template class PairTrainer<std::uint64_t, true>;

}  // namespace pairfuse::core::fast
