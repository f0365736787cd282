#include "core/fast_train.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <utility>

namespace pairfuse::core::fast {

// ---- Vocabulary -------------------------------------------------------------

void UnitBounds::add(std::span<const Unit> units) {
  if (units.empty()) return;
  auto [lo, hi] = std::minmax_element(units.begin(), units.end());
  min = std::min(min, *lo);
  max = std::max(max, *hi);
  any = true;
}

UnitBounds UnitBounds::join(const UnitBounds& a, const UnitBounds& b) {
  if (!a.any) return b;
  if (!b.any) return a;
  return {std::min(a.min, b.min), std::max(a.max, b.max), true};
}

namespace {
// Width of [min, max] minus one, as an unsigned number (the range may span 2^32 values).
std::uint64_t span_of(const UnitBounds& bounds) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(bounds.max) - bounds.min);
}
}  // namespace

UnitCollector::UnitCollector(const UnitBounds& bounds, std::size_t unit_count_hint) : bounds_(bounds) {
  if (!bounds.any) return;
  // At most about four bytes of bitmap per input unit.
  const std::uint64_t width = span_of(bounds) + 1;
  bitmap_mode_ = width <= (std::uint64_t{1} << 16) || width / 32 <= unit_count_hint;
  if (bitmap_mode_) bits_.assign((width + 63) / 64, 0);
}

void UnitCollector::add(std::span<const Unit> units) {
  if (bitmap_mode_) {
    const auto base = static_cast<std::uint32_t>(bounds_.min);
    std::uint64_t* bits = bits_.data();
    for (Unit unit : units) {
      const std::uint32_t offset = static_cast<std::uint32_t>(unit) - base;
      bits[offset >> 6] |= std::uint64_t{1} << (offset & 63);
    }
  } else {
    set_.insert(units.begin(), units.end());
  }
}

void UnitCollector::absorb(const UnitCollector& other) {
  if (bitmap_mode_) {
    for (std::size_t i = 0; i < bits_.size(); ++i) bits_[i] |= other.bits_[i];
  } else {
    set_.insert(other.set_.begin(), other.set_.end());
  }
}

std::vector<Unit> UnitCollector::sorted_units() const {
  std::vector<Unit> units;
  if (bitmap_mode_) {
    const auto base = static_cast<std::uint32_t>(bounds_.min);
    for (std::size_t word = 0; word < bits_.size(); ++word) {
      for (std::uint64_t w = bits_[word]; w != 0; w &= w - 1) {
        const auto offset = static_cast<std::uint32_t>(word * 64 + std::countr_zero(w));
        units.push_back(static_cast<Unit>(base + offset));
      }
    }
  } else {
    units.assign(set_.begin(), set_.end());
    std::sort(units.begin(), units.end());
  }
  return units;
}

SymbolTable::SymbolTable(std::vector<Unit> sorted_units) : units_(std::move(sorted_units)) {
  if (units_.empty()) return;
  const std::uint64_t width =
      static_cast<std::uint64_t>(static_cast<std::int64_t>(units_.back()) - units_.front()) + 1;
  direct_ = width <= std::max<std::uint64_t>(std::uint64_t{1} << 16, 4 * units_.size());
  if (direct_) {
    base_ = units_.front();
    direct_table_.assign(width, 0);
    for (std::size_t s = 0; s < units_.size(); ++s) {
      direct_table_[static_cast<std::uint32_t>(units_[s]) - static_cast<std::uint32_t>(base_)] =
          static_cast<Symbol>(s);
    }
  } else {
    hashed_table_.reserve(units_.size());
    for (std::size_t s = 0; s < units_.size(); ++s) hashed_table_.emplace(units_[s], static_cast<Symbol>(s));
  }
}

// ---- Trainer setup ----------------------------------------------------------

namespace {
constexpr std::uint64_t pack_symbols(Symbol left, Symbol right) {
  return (std::uint64_t{left} << 32) | right;
}
constexpr Symbol left_of(std::uint64_t symbols) { return static_cast<Symbol>(symbols >> 32); }
constexpr Symbol right_of(std::uint64_t symbols) { return static_cast<Symbol>(symbols); }

// The dense first-count table has vocabulary^2 cells per chunk: used for
// small vocabularies only, and only when the input is not much smaller.
bool use_dense_tally(std::size_t vocabulary, std::size_t nodes) {
  const std::size_t cells = vocabulary * vocabulary;
  return vocabulary <= 512 && cells <= 4 * nodes + (std::size_t{1} << 16);
}
}  // namespace

template <typename Index, bool Weighted>
PairTrainer<Index, Weighted>::PairTrainer(SymbolTable symbols, std::vector<Index> sequence_begin)
    : symbol_units_(symbols.units()),
      sequence_begin_(std::move(sequence_begin)),
      symbols_(std::move(symbols)),
      nodes_(sequence_begin_.back()) {
  dense_tally_ = use_dense_tally(symbol_units_.size(), nodes_.size());
}

template <typename Index, bool Weighted>
void PairTrainer<Index, Weighted>::load_sequence(std::size_t d, std::span<const Unit> units, PairCount weight) {
  const Index begin = sequence_begin_[d];
  const Index size = static_cast<Index>(units.size());
  assert(sequence_begin_[d + 1] - begin == size);
  Node* nodes = nodes_.data() + begin;
  for (Index i = 0; i < size; ++i) {
    Node& node = nodes[i];
    node.symbol = symbols_.symbol_of(units[i]);
    node.prev = i == 0 ? kNone : begin + i - 1;
    node.next = i + 1 == size ? kNone : begin + i + 1;
    node.pair = kNoPair;
    if constexpr (Weighted) node.weight = weight;
  }
  (void)weight;
}

template <typename Index, bool Weighted>
typename PairTrainer<Index, Weighted>::Tally PairTrainer<Index, Weighted>::tally(Index begin, Index end) const {
  Tally tally;
  const Node* nodes = nodes_.data();
  if (dense_tally_) {
    const std::size_t vocabulary = symbol_units_.size();
    tally.dense_occurrences_.assign(vocabulary * vocabulary, 0);
    if constexpr (Weighted) tally.dense_weights_.assign(vocabulary * vocabulary, 0);
    Index* occurrences = tally.dense_occurrences_.data();
    for (Index p = begin; p < end; ++p) {
      if (nodes[p].next == kNone) continue;
      const std::size_t cell = std::size_t{nodes[p].symbol} * vocabulary + nodes[p + 1].symbol;
      ++occurrences[cell];
      if constexpr (Weighted) tally.dense_weights_[cell] += nodes[p].weight;
    }
  } else {
    for (Index p = begin; p < end; ++p) {
      if (nodes[p].next == kNone) continue;
      auto& cell = tally.cells_[pack_symbols(nodes[p].symbol, nodes[p + 1].symbol)];
      ++cell.occurrences;
      cell.weight += weight_of(nodes[p]);
    }
  }
  return tally;
}

template <typename Index, bool Weighted>
void PairTrainer<Index, Weighted>::index_pairs(std::span<Tally> tallies) {
  // Each pair's segment holds its windows in node order: chunk after chunk,
  // and within a chunk in the order place() meets them.
  Index cursor = 0;
  auto add_pair = [&](std::uint64_t symbols, PairCount count, Index occurrences) {
    const auto pair = static_cast<Index>(pair_symbols_.size());
    pair_symbols_.push_back(symbols);
    counts_.push_back(count);
    occurrence_begin_.push_back(cursor);
    occurrence_size_.push_back(occurrences);
    cursor += occurrences;
    return pair;
  };
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
        if constexpr (Weighted) count += t.dense_weights_[cell];
      }
      if (occurrences == 0) continue;
      if constexpr (!Weighted) count = occurrences;
      const auto left = static_cast<Symbol>(cell / vocabulary);
      const auto right = static_cast<Symbol>(cell % vocabulary);
      dense_cell_pair_[cell] = add_pair(pack_symbols(left, right), count, occurrences);
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
    std::vector<Index> next(occurrence_begin_);
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

template <typename Index, bool Weighted>
void PairTrainer<Index, Weighted>::place(Tally& tally, Index begin, Index end) {
  Node* nodes = nodes_.data();
  Index* arena = arena_.data();
  if (dense_tally_) {
    const std::size_t vocabulary = symbol_units_.size();
    Index* cursor = tally.dense_occurrences_.data();
    const Index* cell_pair = dense_cell_pair_.data();
    for (Index p = begin; p < end; ++p) {
      if (nodes[p].next == kNone) continue;
      const std::size_t cell = std::size_t{nodes[p].symbol} * vocabulary + nodes[p + 1].symbol;
      nodes[p].pair = cell_pair[cell];
      arena[cursor[cell]++] = p;
    }
  } else {
    for (Index p = begin; p < end; ++p) {
      if (nodes[p].next == kNone) continue;
      auto& cell = tally.cells_.find(pack_symbols(nodes[p].symbol, nodes[p + 1].symbol))->second;
      nodes[p].pair = cell.pair;
      arena[cell.occurrences++] = p;
    }
  }
  tally = Tally{};
}

template <typename Index, bool Weighted>
void PairTrainer<Index, Weighted>::start() {
  dense_cell_pair_ = {};
  symbols_ = SymbolTable({});
  heap_.reserve(pair_symbols_.size());
  for (std::size_t pair = 0; pair < pair_symbols_.size(); ++pair) {
    heap_.push_back({{counts_[pair], unit_pair(static_cast<Index>(pair))}, static_cast<Index>(pair)});
  }
  std::make_heap(heap_.begin(), heap_.end(), [](const HeapEntry& a, const HeapEntry& b) {
    return better_training_candidate(b.candidate, a.candidate);
  });
  left_slot_.assign(symbol_units_.size(), kNoPair);
  right_slot_.assign(symbol_units_.size(), kNoPair);
}

template <typename Index, bool Weighted>
void PairTrainer<Index, Weighted>::count_pairs() {
  Tally all = tally(0, node_count());
  index_pairs(std::span<Tally>(&all, 1));
  place(all, 0, node_count());
  start();
}

template <typename Index, bool Weighted>
UnitPair PairTrainer<Index, Weighted>::unit_pair(Index pair) const {
  const std::uint64_t symbols = pair_symbols_[pair];
  return {symbol_units_[left_of(symbols)], symbol_units_[right_of(symbols)]};
}

// ---- The heap -----------------------------------------------------------------
//
// A binary max-heap ordered by better_training_candidate. Written out instead
// of std::push_heap/pop_heap for replace-the-top (one sift instead of a pop
// and a push), which the lazy re-ranking in best_pair() does all the time.

template <typename Index, bool Weighted>
void PairTrainer<Index, Weighted>::heap_push(const HeapEntry& entry) {
  std::size_t hole = heap_.size();
  heap_.push_back(entry);
  HeapEntry* heap = heap_.data();
  while (hole > 0) {
    const std::size_t parent = (hole - 1) / 2;
    if (!better_training_candidate(entry.candidate, heap[parent].candidate)) break;
    heap[hole] = heap[parent];
    hole = parent;
  }
  heap[hole] = entry;
}

template <typename Index, bool Weighted>
void PairTrainer<Index, Weighted>::heap_sift_down(std::size_t hole, HeapEntry entry) {
  HeapEntry* heap = heap_.data();
  const std::size_t size = heap_.size();
  while (true) {
    std::size_t child = 2 * hole + 1;
    if (child >= size) break;
    if (child + 1 < size && better_training_candidate(heap[child + 1].candidate, heap[child].candidate)) ++child;
    if (!better_training_candidate(heap[child].candidate, entry.candidate)) break;
    heap[hole] = heap[child];
    hole = child;
  }
  heap[hole] = entry;
}

template <typename Index, bool Weighted>
void PairTrainer<Index, Weighted>::heap_pop() {
  const HeapEntry last = heap_.back();
  heap_.pop_back();
  if (!heap_.empty()) heap_sift_down(0, last);
}

// ---- Training steps -----------------------------------------------------------

template <typename Index, bool Weighted>
std::optional<UnitPair> PairTrainer<Index, Weighted>::best_pair() {
  // Staleness rule: a pair gains windows only in the step that creates its
  // newer member, and is pushed at the end of that step with its count then;
  // afterwards its count can only fall. So a heap entry never ranks below its
  // pair's live count. An entry equal to the live count is exact, and the
  // best such top is the best pair. An entry above it is stale: re-rank it
  // with the live count, or drop it when the pair no longer occurs.
  while (!heap_.empty()) {
    HeapEntry top = heap_.front();
    const PairCount live = counts_[top.pair];
    assert(live <= top.candidate.count);
    if (live == top.candidate.count) {
      have_best_ = true;
      return top.candidate.pair;
    }
    if (live > 0) {
      top.candidate.count = live;
      heap_sift_down(0, top);
    } else {
      heap_pop();
    }
  }
  return std::nullopt;
}

template <typename Index, bool Weighted>
Index PairTrainer<Index, Weighted>::new_pair(Symbol left, Symbol right) {
  const auto pair = static_cast<Index>(pair_symbols_.size());
  pair_symbols_.push_back(pack_symbols(left, right));
  counts_.push_back(0);
  return pair;
}

template <typename Index, bool Weighted>
void PairTrainer<Index, Weighted>::merge_best(Unit id) {
  assert(have_best_);
  have_best_ = false;
  const Index chosen = heap_.front().pair;
  heap_pop();

  const auto fresh = static_cast<Symbol>(symbol_units_.size());
  symbol_units_.push_back(id);
  left_slot_.push_back(kNoPair);
  right_slot_.push_back(kNoPair);
  const auto first_new = static_cast<Index>(pair_symbols_.size());
  (void)first_new;

  Node* nodes = nodes_.data();
  const Index* occurrences = arena_.data() + occurrence_begin_[chosen];
  const Index occurrence_count = occurrence_size_[chosen];
  for (Index i = 0; i < occurrence_count; ++i) {
    const Index p = occurrences[i];
    Node& node = nodes[p];
    // Stale entries: the window at p has changed (or p was merged away).
    if (node.pair != chosen) continue;
    const Index q = node.next;
    Node& right_member = nodes[q];
    const Index left = node.prev;
    const Index right = right_member.next;
    const PairCount weight = weight_of(node);

    // Remove the three windows the replacement touches...
    counts_[chosen] -= weight;
    if (left != kNone) counts_[nodes[left].pair] -= weight;
    if (right != kNone) counts_[right_member.pair] -= weight;
    // ...relink, leaving q as a tombstone...
    right_member.pair = kNoPair;
    node.symbol = fresh;
    node.next = right;
    if (right != kNone) nodes[right].prev = p;
    // ...and add the windows holding the new symbol.
    if (left != kNone) {
      Node& left_node = nodes[left];
      Index& slot = left_slot_[left_node.symbol];
      if (slot == kNoPair) slot = new_pair(left_node.symbol, fresh);
      left_node.pair = slot;
      counts_[slot] += weight;
      fresh_.push_back({slot, left});
    }
    if (right != kNone) {
      const Symbol right_symbol = nodes[right].symbol;
      Index& slot = right_slot_[right_symbol];
      if (slot == kNoPair) slot = new_pair(fresh, right_symbol);
      node.pair = slot;
      counts_[slot] += weight;
      fresh_.push_back({slot, p});
    } else {
      node.pair = kNoPair;
    }
  }
  assert(counts_[chosen] == 0);
  arena_garbage_ += occurrence_count;
  occurrence_size_[chosen] = 0;
  finish_step(fresh);
}

template <typename Index, bool Weighted>
void PairTrainer<Index, Weighted>::finish_step(Symbol fresh_symbol) {
  const auto first_new = static_cast<Index>(occurrence_size_.size());
  const auto pair_count = static_cast<Index>(pair_symbols_.size());
  const Index new_pairs = pair_count - first_new;
  occurrence_begin_.resize(pair_count);
  occurrence_size_.resize(pair_count);
  if (new_pairs == 0) {
    fresh_.clear();
    return;
  }

  // Keep the windows that survived the step; group them by pair, keeping
  // their order, which is ascending within each pair.
  const Node* nodes = nodes_.data();
  group_cursor_.assign(new_pairs, 0);
  std::size_t kept = 0;
  for (FreshWindow& window : fresh_) {
    if (nodes[window.node].pair == window.pair) {
      ++group_cursor_[window.pair - first_new];
      ++kept;
    } else {
      window.pair = kNoPair;
    }
  }
  reserve_arena(kept);
  auto cursor = static_cast<Index>(arena_.size());
  for (Index j = 0; j < new_pairs; ++j) {
    const Index size = group_cursor_[j];
    occurrence_begin_[first_new + j] = cursor;
    occurrence_size_[first_new + j] = size;
    group_cursor_[j] = cursor;
    cursor += size;
  }
  arena_.resize(cursor);
  Index* arena = arena_.data();
  for (const FreshWindow& window : fresh_) {
    if (window.pair == kNoPair) continue;
    Index& at = group_cursor_[window.pair - first_new];
    assert(at == occurrence_begin_[window.pair] || arena[at - 1] < window.node);
    arena[at++] = window.node;
  }
  fresh_.clear();

  for (Index pair = first_new; pair < pair_count; ++pair) {
    const std::uint64_t symbols = pair_symbols_[pair];
    if (right_of(symbols) == fresh_symbol) {
      left_slot_[left_of(symbols)] = kNoPair;
    } else {
      right_slot_[right_of(symbols)] = kNoPair;
    }
    if (counts_[pair] > 0) heap_push({{counts_[pair], unit_pair(pair)}, pair});
  }
}

template <typename Index, bool Weighted>
void PairTrainer<Index, Weighted>::reserve_arena(std::size_t extra) {
  const std::size_t needed = arena_.size() + extra;
  if (needed <= arena_.capacity()) return;
  if (2 * arena_garbage_ >= arena_.size()) compact_arena();
  const std::size_t still_needed = arena_.size() + extra;
  if (still_needed > arena_.capacity()) {
    arena_.reserve(std::max(still_needed, arena_.size() + arena_.size() / 2));
  }
}

template <typename Index, bool Weighted>
void PairTrainer<Index, Weighted>::compact_arena() {
  // Segments lie in pair order, so moving each live one down keeps the order
  // and never overwrites a segment not yet moved.
  Index* arena = arena_.data();
  Index cursor = 0;
  for (std::size_t pair = 0; pair < occurrence_size_.size(); ++pair) {
    const Index size = occurrence_size_[pair];
    if (size == 0) continue;
    if (counts_[pair] == 0) {
      occurrence_size_[pair] = 0;
      continue;
    }
    const Index begin = occurrence_begin_[pair];
    if (begin != cursor) std::copy(arena + begin, arena + begin + size, arena + cursor);
    occurrence_begin_[pair] = cursor;
    cursor += size;
  }
  arena_.resize(cursor);
  arena_garbage_ = 0;
  ++compactions_;
}

// ---- Results ------------------------------------------------------------------

template <typename Index, bool Weighted>
void PairTrainer<Index, Weighted>::write_sequence(std::size_t d, UnitSeq& out) const {
  out.clear();
  const Index begin = sequence_begin_[d];
  if (begin == sequence_begin_[d + 1]) return;
  const Node* nodes = nodes_.data();
  for (Index p = begin; p != kNone; p = nodes[p].next) out.push_back(symbol_units_[nodes[p].symbol]);
}

template <typename Index, bool Weighted>
UnitSeq PairTrainer<Index, Weighted>::sequence(std::size_t d) const {
  UnitSeq out;
  write_sequence(d, out);
  return out;
}

template <typename Index, bool Weighted>
typename PairTrainer<Index, Weighted>::Stats PairTrainer<Index, Weighted>::stats() const {
  return {pair_symbols_.size(), arena_.capacity(), heap_.capacity(), compactions_};
}

template class PairTrainer<std::uint32_t, false>;
template class PairTrainer<std::uint32_t, true>;
template class PairTrainer<std::uint64_t, false>;
template class PairTrainer<std::uint64_t, true>;

}  // namespace pairfuse::core::fast
