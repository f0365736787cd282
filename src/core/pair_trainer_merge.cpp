// One training step: choosing the pair, merging it at every live window,
// and filing the windows the step created; then the results.
#include "core/pair_trainer.hpp"

#include <algorithm>
#include <cassert>
#include <utility>

namespace pairfuse::core {

template <typename Index, typename Weight, typename Stored>
std::optional<UnitPair> PairTrainer<Index, Weight, Stored>::best_pair() {
  best_ = queue_.top(std::span<const PairCount>(counts_.data(), counts_.size()),
                     [this](Index pair) { return unit_pair(pair); });
  if (!best_) return std::nullopt;
  return unit_pair(*best_);
}

template <typename Index, typename Weight, typename Stored>
Index PairTrainer<Index, Weight, Stored>::live_before(Index p) {
  // Positions between the live one before p and p are tombstones merged
  // into it, each owning a chain of `next` links that ends there. Following
  // the chain from p - 1 finds it; the chain is then pointed straight at it.
  // At a sequence start, p - 1 belongs to the previous sequence, whose last
  // live position has no `next`.
  if (p == 0) return kNone;
  Node* const nodes = nodes_.data();
  Index live = p - 1;
  while (is_tombstone(nodes[live])) live = nodes[live].next;
  for (Index x = p - 1; x != live;) {
    const Index owner = nodes[x].next;
    nodes[x].next = live;
    x = owner;
  }
  return nodes[live].next == p ? live : kNone;
}

template <typename Index, typename Weight, typename Stored>
std::size_t PairTrainer<Index, Weight, Stored>::sequence_at(Index p, std::size_t from) const {
  const Index* begins = sequence_begin_.data();
  const std::size_t last = sequence_count();
  if (begins[from + 1] > p) return from;
  // Gallop while the sequence starts at or before p, then search the last step.
  std::size_t low = from + 1;
  std::size_t stride = 1;
  while (low + stride < last && begins[low + stride] <= p) {
    low += stride;
    stride *= 2;
  }
  const std::size_t high = std::min(low + stride, last);
  return static_cast<std::size_t>(std::upper_bound(begins + low, begins + high, p) - begins) - 1;
}

template <typename Index, typename Weight, typename Stored>
void PairTrainer<Index, Weight, Stored>::merge_best(Unit id) {
  assert(best_);
  const Index chosen = *best_;
  best_.reset();
  queue_.pop();

  const auto fresh = static_cast<Symbol>(symbol_units_.size());
  symbol_units_.push_back(id);
  if (limits_.caps_length()) {
    const std::uint64_t members = pair_symbols_[chosen];
    token_length_.push_back(token_length_[left_of(members)] + token_length_[right_of(members)]);
  }
  left_slot_.push_back(kNoPair);
  right_slot_.push_back(kNoPair);

  // Each replacement creates at most two windows and two pairs: size the
  // pair arrays and the window buffer for that up front, so that the loop
  // works on plain pointers that no reallocation can move.
  const Index occurrence_count = occurrence_size_[chosen];
  const std::size_t old_pairs = pair_symbols_.size();
  const std::size_t most_pairs = old_pairs + 2 * std::size_t{occurrence_count};
  pair_symbols_.resize(most_pairs);
  counts_.resize(most_pairs);
  fresh_.resize(2 * std::size_t{occurrence_count});

  Node* const nodes = nodes_.data();
  Stored* const symbols = symbols_;
  PairCount* const counts = counts_.data();
  std::uint64_t* const pair_symbols = pair_symbols_.data();
  Index* const left_slot = left_slot_.data();
  Index* const right_slot = right_slot_.data();
  FreshWindow* const windows = fresh_.data();
  auto pair_count = static_cast<Index>(old_pairs);
  std::size_t window_count = 0;
  Index last_replaced = kNone;
  std::size_t sequence = 0;  // of the last live occurrence

  const Index* const occurrences = arena_.data() + occurrence_begin_[chosen];
  constexpr Index kPrefetchDistance = 16;
  // Once the pair's count reaches 0 no live window of it is left, and the
  // rest of the list is stale.
  for (Index i = 0; i < occurrence_count && counts[chosen] != 0; ++i) {
    if (i + kPrefetchDistance < occurrence_count) {
      const Index ahead = occurrences[i + kPrefetchDistance];
      __builtin_prefetch(&nodes[ahead], 1);
      __builtin_prefetch(&symbols[ahead], 1);
    }
    const Index p = occurrences[i];
    Node& node = nodes[p];
    // Stale entries: the window at p has changed (or p was merged away).
    if (node.pair != chosen) continue;
    const Index q = node.next;
    Node& right_member = nodes[q];
    const Index left = live_before(p);
    const Index right = right_member.next;
    PairCount weight = 1;
    if constexpr (!std::is_same_v<Weight, Unweighted>) {
      sequence = sequence_at(p, sequence);
      weight = sequence_weight(sequence);
    }

    // Remove the three windows the replacement touches...
    counts[chosen] -= weight;
    if (left != kNone) counts[nodes[left].pair] -= weight;
    if (right != kNone) counts[right_member.pair] -= weight;
    // ...relink, leaving q as a tombstone owned by p...
    right_member.pair = kNoPair;
    right_member.next = p;
    symbols[p] = static_cast<Stored>(fresh);
    node.next = right;
    // ...and add the windows holding the new symbol. A window created in
    // this step can vanish in it only as here: the right window of the
    // previous replacement, when this one starts right after it (X a a a a
    // -> X X). It is the window buffered last: take it back, so that the
    // buffer ends the step holding live windows only.
    // The two cases mirror each other; a shared helper cost 2% of the step's
    // instructions (callgrind), so they stay written out.
    if (left != kNone) {
      if (left == last_replaced) {
        --window_count;
        assert(windows[window_count].position == left);
      }
      const Symbol left_symbol = symbols[left];
      Index slot = left_slot[left_symbol];
      if (slot == kNoPair) {
        slot = pair_count++;
        left_slot[left_symbol] = slot;
        pair_symbols[slot] = pack_symbols(left_symbol, fresh);
        counts[slot] = 0;
      }
      nodes[left].pair = slot;
      counts[slot] += weight;
      windows[window_count++] = {slot, left};
    }
    if (right != kNone) {
      const Symbol right_symbol = symbols[right];
      Index slot = right_slot[right_symbol];
      if (slot == kNoPair) {
        slot = pair_count++;
        right_slot[right_symbol] = slot;
        pair_symbols[slot] = pack_symbols(fresh, right_symbol);
        counts[slot] = 0;
      }
      node.pair = slot;
      counts[slot] += weight;
      windows[window_count++] = {slot, p};
    } else {
      node.pair = kNoPair;
    }
    last_replaced = p;
  }
  assert(counts[chosen] == 0);
  pair_symbols_.resize(pair_count);
  counts_.resize(pair_count);
  fresh_.resize(window_count);
  arena_garbage_ += occurrence_count;
  occurrence_size_[chosen] = 0;
  finish_step(fresh);
}

template <typename Index, typename Weight, typename Stored>
void PairTrainer<Index, Weight, Stored>::finish_step(Symbol fresh_symbol) {
  const auto first_new = static_cast<Index>(occurrence_size_.size());
  const auto pair_count = static_cast<Index>(pair_symbols_.size());
  const Index new_pairs = pair_count - first_new;
  if (new_pairs == 0) return;  // and no window was created either

  // Room first: compaction walks the segments of the pairs made before this step.
  reserve_arena(fresh_.size());
  occurrence_begin_.resize(pair_count);
  occurrence_size_.resize(pair_count);

  // Group the step's windows (all live) by pair, keeping their order, which
  // is ascending within each pair.
  group_cursor_.assign(new_pairs, 0);
  for (const FreshWindow& window : fresh_) {
    assert(nodes_[window.position].pair == window.pair);
    ++group_cursor_[window.pair - first_new];
  }
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
    Index& at = group_cursor_[window.pair - first_new];
    assert(at == occurrence_begin_[window.pair] || arena[at - 1] < window.position);
    arena[at++] = window.position;
  }
  fresh_.clear();
  // The first steps buffer millions of windows, later ones a few: a big
  // buffer goes back to the system rather than staying through the peak
  // (mapping it again costs little in huge pages).
  if (fresh_.capacity() * sizeof(FreshWindow) > memory::kHugeBytes) fresh_ = HugeArray<FreshWindow>();

  for (Index pair = first_new; pair < pair_count; ++pair) {
    const std::uint64_t symbols = pair_symbols_[pair];
    if (right_of(symbols) == fresh_symbol) {
      left_slot_[left_of(symbols)] = kNoPair;
    } else {
      right_slot_[right_of(symbols)] = kNoPair;
    }
    if (counts_[pair] > 0 && eligible(pair)) queue_.push(pair, counts_[pair], [this](Index i) { return unit_pair(i); });
  }
}

template <typename Index, typename Weight, typename Stored>
void PairTrainer<Index, Weight, Stored>::reserve_arena(std::size_t extra) {
  if (arena_.size() + extra <= arena_.capacity()) return;
  if (8 * arena_garbage_ >= arena_.size()) compact_arena();
  const std::size_t needed = arena_.size() + extra;
  if (needed > arena_.capacity()) arena_.reserve(std::max(needed, arena_.size() + arena_.size() / 8));
}

template <typename Index, typename Weight, typename Stored>
void PairTrainer<Index, Weight, Stored>::compact_arena() {
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
}

// ---- Results ------------------------------------------------------------------

template <typename Index, typename Weight, typename Stored>
std::size_t PairTrainer<Index, Weight, Stored>::write_sequence(std::size_t d, Unit* out) const {
  const Index begin = sequence_begin_[d];
  if (begin == sequence_begin_[d + 1]) return 0;
  const Node* nodes = nodes_.data();
  std::size_t written = 0;
  for (Index p = begin; p != kNone; p = nodes[p].next) out[written++] = symbol_units_[symbols_[p]];
  return written;
}

template <typename Index, typename Weight, typename Stored>
UnitSeq PairTrainer<Index, Weight, Stored>::sequence(std::size_t d) const {
  UnitSeq out(static_cast<std::size_t>(sequence_begin_[d + 1] - sequence_begin_[d]));
  out.resize(write_sequence(d, out.data()));
  return out;
}

template <typename Index, typename Weight, typename Stored>
UnitSeq PairTrainer<Index, Weight, Stored>::release_sequence() {
  // The k-th unit of the result comes from a position at or after k, so
  // writing it over the symbols in order never clobbers one still to be read.
  UnitSeq out = std::move(input_buffer_);
  std::size_t size = 0;
  if (!nodes_.empty()) {
    for (Index p = 0; p != kNone; p = nodes_[p].next) out[size++] = symbol_units_[symbols_[p]];
  }
  out.resize(size);
  symbols_ = nullptr;
  return out;
}

template class PairTrainer<std::uint32_t, Unweighted>;
template class PairTrainer<std::uint32_t, std::uint32_t>;
template class PairTrainer<std::uint64_t, Unweighted>;
template class PairTrainer<std::uint64_t, PairCount>;
template class PairTrainer<std::uint32_t, Unweighted, std::uint16_t>;
template class PairTrainer<std::uint32_t, std::uint32_t, std::uint16_t>;

}  // namespace pairfuse::core
