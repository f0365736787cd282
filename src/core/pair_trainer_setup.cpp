// Setting the trainer up: symbols and links per position, the first count of
// every pair (in chunks, so that the parallel engine spreads it over the
// pool), occurrence segments in position order, and the queue.
#include "core/pair_trainer.hpp"

#include <algorithm>
#include <cassert>
#include <utility>

namespace pairfuse::core {

namespace {
// The dense first-count table has vocabulary^2 cells per chunk: used for
// small vocabularies only, and only when the input is not much smaller.
bool use_dense_tally(std::size_t vocabulary, std::size_t positions) {
  const std::size_t cells = vocabulary * vocabulary;
  return vocabulary <= 512 && cells <= 4 * positions + (std::size_t{1} << 16);
}
}  // namespace

template <typename Index, typename Weight, typename Stored>
PairTrainer<Index, Weight, Stored>::PairTrainer(SymbolTable symbols, UnitSeq units, TrainingLimits limits)
  requires std::is_same_v<Stored, Symbol>
    : symbol_units_(symbols.units()),
      sequence_begin_{0, static_cast<Index>(units.size())},
      symbol_table_(std::move(symbols)),
      input_buffer_(std::move(units)),
      nodes_(input_buffer_.size()),
      limits_(limits) {
  // Unit and Symbol are the signed and unsigned forms of one type, which may
  // alias. (The test repeats the constraint: clang 14 compiles this body for
  // every explicitly instantiated class, unsatisfied constraint or not.)
  if constexpr (std::is_same_v<Stored, Symbol>) symbols_ = reinterpret_cast<Symbol*>(input_buffer_.data());
  dense_tally_ = use_dense_tally(symbol_units_.size(), nodes_.size());
  load_sequence(0, input_buffer_, 1);
  count_pairs();
}

template <typename Index, typename Weight, typename Stored>
PairTrainer<Index, Weight, Stored>::PairTrainer(SymbolTable symbols, std::vector<Index> sequence_begin,
                                                TrainingLimits limits)
    : symbol_units_(symbols.units()),
      sequence_begin_(std::move(sequence_begin)),
      symbol_table_(std::move(symbols)),
      own_symbols_(sequence_begin_.back()),
      nodes_(sequence_begin_.back()),
      limits_(limits) {
  if constexpr (!std::is_same_v<Weight, Unweighted>) sequence_weight_.resize(sequence_count());
  symbols_ = own_symbols_.data();
  dense_tally_ = use_dense_tally(symbol_units_.size(), nodes_.size());
}

template <typename Index, typename Weight, typename Stored>
void PairTrainer<Index, Weight, Stored>::load_sequence(std::size_t d, std::span<const Unit> units, PairCount weight) {
  const Index begin = sequence_begin_[d];
  const auto size = static_cast<Index>(units.size());
  assert(sequence_begin_[d + 1] - begin == size);
  Node* nodes = nodes_.data() + begin;
  Stored* symbols = symbols_ + begin;
  for (Index i = 0; i < size; ++i) {
    symbols[i] = static_cast<Stored>(symbol_table_.symbol_of(units[i]));  // may overwrite units[i] itself
    Node& node = nodes[i];
    node.next = i + 1 == size ? kNone : begin + i + 1;
    node.pair = kNoPair;
  }
  if constexpr (!std::is_same_v<Weight, Unweighted>) sequence_weight_[d] = static_cast<Weight>(weight);
  (void)weight;
}

template <typename Index, typename Weight, typename Stored>
template <typename Fn>
void PairTrainer<Index, Weight, Stored>::for_each_first_window(Index begin, Index end, Fn&& fn) const {
  // Before any merge, every position but the last of its sequence starts a
  // window; walking sequence by sequence spares reading the nodes.
  const auto after = std::upper_bound(sequence_begin_.begin(), sequence_begin_.end(), begin);
  for (auto d = static_cast<std::size_t>(after - sequence_begin_.begin()) - 1;
       d + 1 < sequence_begin_.size() && sequence_begin_[d] < end; ++d) {
    if (sequence_begin_[d] == sequence_begin_[d + 1]) continue;
    const PairCount weight = sequence_weight(d);
    const Index last = std::min(end, static_cast<Index>(sequence_begin_[d + 1] - 1));
    for (Index p = std::max(begin, sequence_begin_[d]); p < last; ++p) fn(p, weight);
  }
}

template <typename Index, typename Weight, typename Stored>
typename PairTrainer<Index, Weight, Stored>::Tally PairTrainer<Index, Weight, Stored>::tally(Index begin,
                                                                                           Index end) const {
  Tally tally;
  const Stored* symbols = symbols_;
  if (dense_tally_) {
    const std::size_t vocabulary = symbol_units_.size();
    tally.dense_occurrences_.assign(vocabulary * vocabulary, 0);
    if constexpr (!std::is_same_v<Weight, Unweighted>) tally.dense_weights_.assign(vocabulary * vocabulary, 0);
    Index* occurrences = tally.dense_occurrences_.data();
    PairCount* weights = tally.dense_weights_.data();
    for_each_first_window(begin, end, [&](Index p, PairCount weight) {
      const std::size_t cell = std::size_t{symbols[p]} * vocabulary + symbols[p + 1];
      ++occurrences[cell];
      if constexpr (!std::is_same_v<Weight, Unweighted>) weights[cell] += weight;
      (void)weight;
      (void)weights;
    });
  } else {
    for_each_first_window(begin, end, [&](Index p, PairCount weight) {
      auto& cell = tally.cells_[pack_symbols(symbols[p], symbols[p + 1])];
      ++cell.occurrences;
      cell.weight += weight;
    });
  }
  return tally;
}

template <typename Index, typename Weight, typename Stored>
void PairTrainer<Index, Weight, Stored>::index_pairs(std::span<Tally> tallies) {
  // Each pair's segment holds its windows in position order: chunk after
  // chunk, and within a chunk in the order place() meets them.
  Index cursor = 0;
  if (dense_tally_) {
    const std::size_t vocabulary = symbol_units_.size();
    dense_cell_pair_.assign(vocabulary * vocabulary, kNoPair);
    for (std::size_t cell = 0; cell < dense_cell_pair_.size(); ++cell) {
      Index occurrences = 0;
      PairCount count = 0;
      for (Tally& t : tallies) {
        const Index here = t.dense_occurrences_[cell];
        t.dense_occurrences_[cell] = cursor + occurrences;
        occurrences += here;
        if constexpr (!std::is_same_v<Weight, Unweighted>) count += t.dense_weights_[cell];
      }
      if (occurrences == 0) continue;
      if constexpr (std::is_same_v<Weight, Unweighted>) count = occurrences;
      dense_cell_pair_[cell] = static_cast<Index>(pair_symbols_.size());
      pair_symbols_.push_back(
          pack_symbols(static_cast<Symbol>(cell / vocabulary), static_cast<Symbol>(cell % vocabulary)));
      counts_.push_back(count);
      occurrence_begin_.push_back(cursor);
      occurrence_size_.push_back(occurrences);
      cursor += occurrences;
    }
  } else {
    absl::flat_hash_map<std::uint64_t, Index> index;
    for (Tally& t : tallies) {
      for (auto& [symbols, cell] : t.cells_) {
        auto [it, inserted] = index.try_emplace(symbols, 0);
        if (inserted) {
          it->second = static_cast<Index>(pair_symbols_.size());
          pair_symbols_.push_back(symbols);
          counts_.push_back(0);
          occurrence_size_.push_back(0);
        }
        cell.pair = it->second;
        counts_[cell.pair] += cell.weight;
        occurrence_size_[cell.pair] += cell.occurrences;
      }
    }
    occurrence_begin_.resize(pair_symbols_.size());
    for (std::size_t pair = 0; pair < pair_symbols_.size(); ++pair) {
      occurrence_begin_[pair] = cursor;
      cursor += occurrence_size_[pair];
    }
    // Chunk cursors: each chunk writes after the windows of earlier chunks.
    std::vector<Index> next(occurrence_begin_.begin(), occurrence_begin_.end());
    for (Tally& t : tallies) {
      for (auto& [symbols, cell] : t.cells_) {
        const Index here = cell.occurrences;
        cell.occurrences = next[cell.pair];
        next[cell.pair] += here;
      }
    }
  }
  arena_.resize(cursor);
}

template <typename Index, typename Weight, typename Stored>
void PairTrainer<Index, Weight, Stored>::place(Tally& tally, Index begin, Index end) {
  Node* nodes = nodes_.data();
  const Stored* symbols = symbols_;
  Index* arena = arena_.data();
  if (dense_tally_) {
    const std::size_t vocabulary = symbol_units_.size();
    Index* cursor = tally.dense_occurrences_.data();
    const Index* cell_pair = dense_cell_pair_.data();
    for_each_first_window(begin, end, [&](Index p, PairCount) {
      const std::size_t cell = std::size_t{symbols[p]} * vocabulary + symbols[p + 1];
      nodes[p].pair = cell_pair[cell];
      arena[cursor[cell]++] = p;
    });
  } else {
    for_each_first_window(begin, end, [&](Index p, PairCount) {
      auto& cell = tally.cells_.find(pack_symbols(symbols[p], symbols[p + 1]))->second;
      nodes[p].pair = cell.pair;
      arena[cell.occurrences++] = p;
    });
  }
  tally = Tally{};
}

template <typename Index, typename Weight, typename Stored>
void PairTrainer<Index, Weight, Stored>::start() {
#ifndef NDEBUG
  for (std::size_t pair = 0; pair < occurrence_size_.size(); ++pair) {
    const Index* segment = arena_.data() + occurrence_begin_[pair];
    assert(std::is_sorted(segment, segment + occurrence_size_[pair]));
  }
#endif
  dense_cell_pair_ = std::vector<Index>();  // `= {}` would keep the capacity
  symbol_table_ = SymbolTable({});
  left_slot_.assign(symbol_units_.size(), kNoPair);
  right_slot_.assign(symbol_units_.size(), kNoPair);

  if (limits_.caps_length()) token_length_.assign(symbol_units_.size(), 1);
  queue_.fill(
      std::span<const PairCount>(counts_.data(), counts_.size()), [this](Index pair) { return unit_pair(pair); },
      [this](Index pair) { return eligible(pair); });
}

template <typename Index, typename Weight, typename Stored>
void PairTrainer<Index, Weight, Stored>::count_pairs() {
  Tally all = tally(0, position_count());
  index_pairs(std::span<Tally>(&all, 1));
  place(all, 0, position_count());
  start();
}


template class PairTrainer<std::uint32_t, Unweighted>;
template class PairTrainer<std::uint32_t, std::uint32_t>;
template class PairTrainer<std::uint64_t, Unweighted>;
template class PairTrainer<std::uint64_t, PairCount>;
template class PairTrainer<std::uint32_t, Unweighted, std::uint16_t>;
template class PairTrainer<std::uint32_t, std::uint32_t, std::uint16_t>;

}  // namespace pairfuse::core
