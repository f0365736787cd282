// The incremental pair trainer shared by `fit` and `fit_concurrent`.
//
// It trains over any number of sequences, each with a weight (how many
// identical copies it stands for), laid out back to back:
//
// - Units become dense symbols: the distinct input units, sorted, get
//   0, 1, 2, ..., and every merge appends the next symbol. Symbol order is
//   unit order, since new ids are always above every unit seen so far.
//   Positions store their symbols as `Stored`: 32 bits, or 16 when the
//   caller knows every symbol training can make fits in them.
// - Position p has its symbol and a node: the next live position of its
//   sequence (kNone at the end, so no window joins two sequences) and the
//   pair index of the window it starts (kNoPair at the end). A merge keeps
//   the left position and turns the right one into a tombstone that points
//   to the position that absorbed it; the live position before p is found
//   through those links from p - 1 (with path compression), so no `prev`
//   link is stored.
// - Pairs are interned into dense indices. Per pair: its weighted count,
//   kept exact at every step, and its occurrence list, a segment of one
//   shared arena of positions.
// - A lazy max-queue (core/pair_queue.hpp) chooses the pair: the pair of
//   highest count, the smallest pair among equal counts.
//
// Invariants between steps:
// - counts[p] is the sum of the weights of the live windows whose pair is p;
// - every live window of pair p appears in p's occurrence list, which is in
//   strictly ascending position order (entries whose window has changed
//   since are stale: position q holds a window of p exactly when its node's
//   `pair` says p);
// - every pair with a positive count is in the queue (see its header).
//
// A step visits only the occurrences of the chosen pair, in ascending order,
// so a run a a a a merges left to right without overlap exactly as
// core::merge does. Pairs gain windows only in the step that creates their
// newer member; the step buffers those windows and appends each new pair's
// occurrences, already in order, at the end of the step.
//
// Performance notes (December 2026, the 2-core development VM, the 11 MB
// corpus of Python sources as bytes; bench/fit_bench.cpp is the harness,
// current figures are in the README's benchmark table):
// - Memory first: on this machine a first touch of a page costs far more
//   than the work done on it (core/huge_array.hpp), so the big tables
//   are huge-page arrays grown in place, `fit` keeps its symbols in the
//   input's own buffer, and nodes are 8 bytes: dropping the `prev` link cut
//   the whole-corpus peak from 313 to 270 MB and made the steps faster, not
//   slower.
// - Weights are kept per sequence, not per node: a step meets its
//   occurrences in ascending order, so the sequence of each is found by
//   galloping forward from the previous one's. Nodes went from 12 bytes to
//   8 in weighted training, which took the command-line tool's peak on the
//   words of the corpus (row 8a of the benchmark table) from 134 to 118 MB.
// - 16-bit symbols where the vocabulary allows (the 256 byte values and
//   30000 merges do) took the tool's peak at vocabulary 30000 from 99.6 to
//   88.7 MB, and the steps were no slower.
// - No hash lookup in a step: a removed window is known by its node's
//   `pair` field, and every window a step creates contains the new symbol,
//   so two per-step arrays indexed by the other symbol find its pair index.
// - Occurrence lists share one arena rather than a vector per pair (there
//   are millions of pairs); merged segments become garbage, compacted in
//   place (a memmove) when the arena would have to grow while an eighth of
//   it is garbage. About 45% of the entries visited are stale (their window
//   was destroyed by a neighbouring merge). Eager removal (a doubly linked
//   list through the nodes) would cost two random accesses per removed
//   window; dropping stale entries while compacting saved 18 MB of 270 but
//   made the steps 50% slower.
// - A token-length cap (TrainingLimits) keeps the pairs it rules out out of
//   the queue only: their windows are still counted, since merging their
//   neighbours must find them, but a pair's eligibility never changes (its
//   members' lengths are fixed), so they never need to be looked at again.
// - The first counting pass uses a dense (left, right) table when the
//   vocabulary is small (bytes), a hash map otherwise; it runs per chunk of
//   positions, so the parallel engine spreads it over the pool.
// - Positions are 32-bit below 2^30 units (arena offsets and pair indices
//   stay below 2^32 then) and 64-bit above.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "core/huge_array.hpp"
#include "core/pair_queue.hpp"
#include "core/training_limits.hpp"
#include "core/unit_vocabulary.hpp"
#include "types.hpp"

namespace pairfuse::core {

// A pair of symbols as one 64-bit key: left << 32 | right.
constexpr std::uint64_t pack_symbols(Symbol left, Symbol right) { return (std::uint64_t{left} << 32) | right; }
constexpr Symbol left_of(std::uint64_t symbols) { return static_cast<Symbol>(symbols >> 32); }
constexpr Symbol right_of(std::uint64_t symbols) { return static_cast<Symbol>(symbols); }

// Inputs smaller than this train with 32-bit positions.
inline constexpr std::size_t kNarrowIndexLimit = std::size_t{1} << 30;

// Weight type of trainers whose sequences all have weight 1.
struct Unweighted {};

template <typename Index, typename Weight, typename Stored = Symbol>
class PairTrainer {
 public:
  static constexpr Index kNone = std::numeric_limits<Index>::max();
  static constexpr Index kNoPair = std::numeric_limits<Index>::max();

  // Pair occurrences counted over one range of positions, filled by tally()
  // and turned by index_pairs() into write cursors for place().
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

  // One sequence of weight 1, whose buffer becomes the trainer's symbol
  // storage (and, through release_sequence(), the result's). Ready to train.
  PairTrainer(SymbolTable symbols, UnitSeq units, TrainingLimits limits = {})
    requires std::is_same_v<Stored, Symbol>;

  // Several sequences: sequence d occupies positions [sequence_begin[d],
  // sequence_begin[d + 1]). Then, in this order: load_sequence() for every
  // sequence (different sequences may be loaded from several threads at
  // once); tally() over ranges that cover [0, position_count())
  // (concurrently); index_pairs() with the tallies in range order; place()
  // for each tally and its range (concurrently); start().
  PairTrainer(SymbolTable symbols, std::vector<Index> sequence_begin, TrainingLimits limits = {});
  void load_sequence(std::size_t d, std::span<const Unit> units, PairCount weight);
  Tally tally(Index begin, Index end) const;
  void index_pairs(std::span<Tally> tallies);
  void place(Tally& tally, Index begin, Index end);
  void start();

  PairTrainer(const PairTrainer&) = delete;
  PairTrainer& operator=(const PairTrainer&) = delete;

  // The pair to merge next, or nothing when no window is left.
  std::optional<UnitPair> best_pair();
  // Merges the pair best_pair() has just returned into the new token `id`.
  void merge_best(Unit id);

  Index position_count() const { return static_cast<Index>(nodes_.size()); }
  std::size_t sequence_count() const { return sequence_begin_.size() - 1; }
  // Writes the current units of sequence d to `out`, which has room for the
  // sequence's initial length; returns how many it wrote.
  std::size_t write_sequence(std::size_t d, Unit* out) const;
  UnitSeq sequence(std::size_t d) const;
  // The single-sequence form's result, written over the input's buffer; ends training.
  UnitSeq release_sequence();

 private:
  // A live position: `next` is the next live position of its sequence
  // (kNone at the end), `pair` the pair of the window it starts (kNoPair at
  // the end). A tombstone: `pair` is kNoPair and `next` the position it was
  // merged into (or one that now covers it).
  struct Node {
    Index next;
    Index pair;
  };
  struct FreshWindow {
    Index pair;
    Index position;
  };

  PairCount sequence_weight(std::size_t d) const {
    if constexpr (std::is_same_v<Weight, Unweighted>) {
      return 1;
    } else {
      return static_cast<PairCount>(sequence_weight_[d]);
    }
  }
  // The sequence holding position p, searched forward from sequence `from`,
  // which starts at or before p.
  std::size_t sequence_at(Index p, std::size_t from) const;
  static bool is_tombstone(const Node& node) { return node.pair == kNoPair && node.next != kNone; }
  Index live_before(Index p);
  template <typename Fn>
  void for_each_first_window(Index begin, Index end, Fn&& fn) const;
  void count_pairs();
  UnitPair unit_pair(Index pair) const {
    const std::uint64_t symbols = pair_symbols_[pair];
    return {symbol_units_[left_of(symbols)], symbol_units_[right_of(symbols)]};
  }
  // Whether the limits allow merging `pair` (its count aside).
  bool eligible(Index pair) const {
    if (!limits_.caps_length()) return true;
    const std::uint64_t symbols = pair_symbols_[pair];
    return token_length_[left_of(symbols)] + token_length_[right_of(symbols)] <= limits_.max_token_length;
  }
  void finish_step(Symbol fresh_symbol);
  void reserve_arena(std::size_t extra);
  void compact_arena();

  std::vector<Unit> symbol_units_;
  std::vector<Index> sequence_begin_;
  std::vector<Weight> sequence_weight_;  // empty when unweighted
  SymbolTable symbol_table_;

  // Symbols live in the single input's buffer, or in an array of their own.
  UnitSeq input_buffer_;
  HugeArray<Stored> own_symbols_;
  Stored* symbols_ = nullptr;
  HugeArray<Node> nodes_;

  // Per pair: symbols (left << 32 | right), weighted count, occurrence segment.
  HugeArray<std::uint64_t> pair_symbols_;
  HugeArray<PairCount> counts_;
  HugeArray<Index> occurrence_begin_;
  HugeArray<Index> occurrence_size_;
  HugeArray<Index> arena_;
  std::size_t arena_garbage_ = 0;

  // Units each symbol stands for, kept only under a length cap.
  TrainingLimits limits_;
  std::vector<std::uint64_t> token_length_;

  bool dense_tally_ = false;
  std::vector<Index> dense_cell_pair_;

  PairQueue<Index> queue_;
  std::optional<Index> best_;

  // Step state: pair index of (s, new) by s, of (new, s) by s, and the
  // windows created, in the order created.
  std::vector<Index> left_slot_;
  std::vector<Index> right_slot_;
  HugeArray<FreshWindow> fresh_;
  std::vector<Index> group_cursor_;
};

extern template class PairTrainer<std::uint32_t, Unweighted>;
extern template class PairTrainer<std::uint32_t, std::uint32_t>;
extern template class PairTrainer<std::uint64_t, Unweighted>;
extern template class PairTrainer<std::uint64_t, PairCount>;
extern template class PairTrainer<std::uint32_t, Unweighted, std::uint16_t>;
extern template class PairTrainer<std::uint32_t, std::uint32_t, std::uint16_t>;

}  // namespace pairfuse::core
