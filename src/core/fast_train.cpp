#include "core/fast_train.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace pairfuse::core::fast {

// ---- Memory -----------------------------------------------------------------

namespace memory {
namespace {
std::size_t huge_length(std::size_t bytes) { return (bytes + kHugeBytes - 1) & ~(kHugeBytes - 1); }

void* map_huge(std::size_t length) {
  // A length in whole 2 MiB pages also gets a 2 MiB-aligned address.
  void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  madvise(p, length, MADV_HUGEPAGE);  // advice only: without it the pages are just small
  return p;
}
}  // namespace

void* resize_block(void* block, std::size_t old_bytes, std::size_t new_bytes, std::size_t keep_bytes) {
  if (new_bytes < kHugeBytes) {
    void* p = std::realloc(block, new_bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  const std::size_t new_length = huge_length(new_bytes);
  if (old_bytes < kHugeBytes) {
    void* p = map_huge(new_length);
    if (keep_bytes != 0) std::memcpy(p, block, keep_bytes);
    std::free(block);
    return p;
  }
  const std::size_t old_length = huge_length(old_bytes);
  if (new_length == old_length) return block;
  void* p = mremap(block, old_length, new_length, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) throw std::bad_alloc();
  madvise(p, new_length, MADV_HUGEPAGE);
  return p;
}

void free_block(void* block, std::size_t bytes) noexcept {
  if (bytes >= kHugeBytes) {
    munmap(block, huge_length(bytes));
  } else {
    std::free(block);
  }
}
}  // namespace memory

// ---- Vocabulary -------------------------------------------------------------

void UnitBounds::add(std::span<const Unit> units) {
  if (units.empty()) return;
  // A plain loop: it vectorizes, std::minmax_element does not.
  Unit lo = min;
  Unit hi = max;
  for (Unit unit : units) {
    lo = std::min(lo, unit);
    hi = std::max(hi, unit);
  }
  min = lo;
  max = hi;
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
bool use_dense_tally(std::size_t vocabulary, std::size_t positions) {
  const std::size_t cells = vocabulary * vocabulary;
  return vocabulary <= 512 && cells <= 4 * positions + (std::size_t{1} << 16);
}

// floor(log2(count)) for a positive count.
int count_bits(PairCount count) { return std::bit_width(static_cast<std::uint64_t>(count)) - 1; }

// The heap starts with the pairs within 2^kHeapSpanBits of the top count.
constexpr int kHeapSpanBits = 4;
}  // namespace

template <typename Index, typename Weight>
PairTrainer<Index, Weight>::PairTrainer(SymbolTable symbols, UnitSeq units)
    : symbol_units_(symbols.units()),
      sequence_begin_{0, static_cast<Index>(units.size())},
      symbol_table_(std::move(symbols)),
      input_buffer_(std::move(units)),
      nodes_(input_buffer_.size()) {
  // Unit and Symbol are the signed and unsigned forms of one type, which may alias.
  symbols_ = reinterpret_cast<Symbol*>(input_buffer_.data());
  dense_tally_ = use_dense_tally(symbol_units_.size(), nodes_.size());
  load_sequence(0, input_buffer_, 1);
  count_pairs();
}

template <typename Index, typename Weight>
PairTrainer<Index, Weight>::PairTrainer(SymbolTable symbols, std::vector<Index> sequence_begin)
    : symbol_units_(symbols.units()),
      sequence_begin_(std::move(sequence_begin)),
      symbol_table_(std::move(symbols)),
      own_symbols_(sequence_begin_.back()),
      nodes_(sequence_begin_.back()) {
  symbols_ = own_symbols_.data();
  dense_tally_ = use_dense_tally(symbol_units_.size(), nodes_.size());
}

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::load_sequence(std::size_t d, std::span<const Unit> units, PairCount weight) {
  const Index begin = sequence_begin_[d];
  const auto size = static_cast<Index>(units.size());
  assert(sequence_begin_[d + 1] - begin == size);
  Node* nodes = nodes_.data() + begin;
  Symbol* symbols = symbols_ + begin;
  for (Index i = 0; i < size; ++i) {
    symbols[i] = symbol_table_.symbol_of(units[i]);  // may overwrite units[i] itself
    Node& node = nodes[i];
    node.next = i + 1 == size ? kNone : begin + i + 1;
    node.pair = kNoPair;
    if constexpr (!std::is_same_v<Weight, Unweighted>) node.weight = static_cast<Weight>(weight);
  }
  (void)weight;
}

template <typename Index, typename Weight>
template <typename Fn>
void PairTrainer<Index, Weight>::for_each_first_window(Index begin, Index end, Fn&& fn) const {
  // Before any merge, every position but the last of its sequence starts a
  // window; walking sequence by sequence spares reading the nodes.
  const auto after = std::upper_bound(sequence_begin_.begin(), sequence_begin_.end(), begin);
  for (auto d = static_cast<std::size_t>(after - sequence_begin_.begin()) - 1;
       d + 1 < sequence_begin_.size() && sequence_begin_[d] < end; ++d) {
    if (sequence_begin_[d] == sequence_begin_[d + 1]) continue;
    const PairCount weight = weight_of(nodes_[sequence_begin_[d]]);
    const Index last = std::min(end, static_cast<Index>(sequence_begin_[d + 1] - 1));
    for (Index p = std::max(begin, sequence_begin_[d]); p < last; ++p) fn(p, weight);
  }
}

template <typename Index, typename Weight>
typename PairTrainer<Index, Weight>::Tally PairTrainer<Index, Weight>::tally(Index begin, Index end) const {
  Tally tally;
  const Symbol* symbols = symbols_;
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

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::index_pairs(std::span<Tally> tallies) {
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

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::place(Tally& tally, Index begin, Index end) {
  Node* nodes = nodes_.data();
  const Symbol* symbols = symbols_;
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

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::start() {
#ifndef NDEBUG
  for (std::size_t pair = 0; pair < occurrence_size_.size(); ++pair) {
    const Index* segment = arena_.data() + occurrence_begin_[pair];
    assert(std::is_sorted(segment, segment + occurrence_size_[pair]));
  }
#endif
  dense_cell_pair_ = {};
  symbol_table_ = SymbolTable({});
  left_slot_.assign(symbol_units_.size(), kNoPair);
  right_slot_.assign(symbol_units_.size(), kNoPair);

  PairCount top = 0;
  for (std::size_t pair = 0; pair < counts_.size(); ++pair) top = std::max(top, counts_[pair]);
  heap_floor_bits_ = top > 0 ? std::max(0, count_bits(top) - kHeapSpanBits) : 0;
  const PairCount floor = PairCount{1} << heap_floor_bits_;
  for (std::size_t pair = 0; pair < counts_.size(); ++pair) {
    const auto index = static_cast<Index>(pair);
    if (counts_[pair] >= floor) {
      heap_.push_back({{counts_[pair], unit_pair(index)}, index});
    } else {
      low_buckets_[count_bits(counts_[pair])].push_back(index);
    }
  }
  std::make_heap(heap_.begin(), heap_.end(), [](const HeapEntry& a, const HeapEntry& b) {
    return better_training_candidate(b.candidate, a.candidate);
  });
}

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::count_pairs() {
  Tally all = tally(0, position_count());
  index_pairs(std::span<Tally>(&all, 1));
  place(all, 0, position_count());
  start();
}

template <typename Index, typename Weight>
UnitPair PairTrainer<Index, Weight>::unit_pair(Index pair) const {
  const std::uint64_t symbols = pair_symbols_[pair];
  return {symbol_units_[left_of(symbols)], symbol_units_[right_of(symbols)]};
}

// ---- Choosing the pair ----------------------------------------------------------
//
// A binary max-heap ordered by better_training_candidate, written out for
// replace-the-top (one sift instead of a pop and a push), which the lazy
// re-ranking in best_pair() does all the time.

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::heap_push(const HeapEntry& entry) {
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

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::heap_sift_down(std::size_t hole, HeapEntry entry) {
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

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::heap_pop() {
  const HeapEntry last = heap_.back();
  heap_.pop_back();
  if (!heap_.empty()) heap_sift_down(0, last);
}

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::enqueue(Index pair) {
  const PairCount count = counts_[pair];
  if (count >= PairCount{1} << heap_floor_bits_) {
    heap_push({{count, unit_pair(pair)}, pair});
  } else {
    low_buckets_[count_bits(count)].push_back(pair);
  }
}

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::lower_heap_floor() {
  // Down to the valid top's own power of two, or to the highest waiting
  // bucket when the heap is empty; the pairs of the buckets passed join the heap.
  int floor_bits = 0;
  if (!heap_.empty()) {
    floor_bits = count_bits(heap_.front().candidate.count);
  } else {
    for (int b = heap_floor_bits_ - 1; b >= 0; --b) {
      if (!low_buckets_[b].empty()) {
        floor_bits = b;
        break;
      }
    }
  }
  for (int b = floor_bits; b < heap_floor_bits_; ++b) {
    for (Index pair : low_buckets_[b]) {
      if (counts_[pair] > 0) heap_push({{counts_[pair], unit_pair(pair)}, pair});
    }
    std::vector<Index>().swap(low_buckets_[b]);
  }
  heap_floor_bits_ = floor_bits;
}

template <typename Index, typename Weight>
std::optional<UnitPair> PairTrainer<Index, Weight>::best_pair() {
  // Staleness rule: a pair gains windows only in the step that creates its
  // newer member, and is enqueued at the end of that step with its count
  // then; afterwards its count can only fall. So a heap entry never ranks
  // below its pair's live count. An entry equal to the live count is exact;
  // one above it is stale: re-rank it with the live count, or drop it when
  // the pair no longer occurs. Waiting pairs were enqueued below the heap's
  // floor and stay below it, so an exact top at or above the floor is the
  // best pair; below it, the floor comes down first.
  while (true) {
    while (!heap_.empty()) {
      HeapEntry top = heap_.front();
      const PairCount live = counts_[top.pair];
      assert(live <= top.candidate.count);
      if (live == top.candidate.count) break;
      if (live > 0) {
        top.candidate.count = live;
        heap_sift_down(0, top);
      } else {
        heap_pop();
      }
    }
    if (!heap_.empty() && heap_.front().candidate.count >= PairCount{1} << heap_floor_bits_) {
      have_best_ = true;
      return heap_.front().candidate.pair;
    }
    if (heap_floor_bits_ == 0) return std::nullopt;  // the heap is empty and nothing waits
    lower_heap_floor();
  }
}

// ---- Merging ------------------------------------------------------------------

template <typename Index, typename Weight>
Index PairTrainer<Index, Weight>::live_before(Index p) {
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

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::merge_best(Unit id) {
  assert(have_best_);
  have_best_ = false;
  const Index chosen = heap_.front().pair;
  heap_pop();

  const auto fresh = static_cast<Symbol>(symbol_units_.size());
  symbol_units_.push_back(id);
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
  Symbol* const symbols = symbols_;
  PairCount* const counts = counts_.data();
  std::uint64_t* const pair_symbols = pair_symbols_.data();
  Index* const left_slot = left_slot_.data();
  Index* const right_slot = right_slot_.data();
  FreshWindow* const windows = fresh_.data();
  auto pair_count = static_cast<Index>(old_pairs);
  std::size_t window_count = 0;
  Index last_replaced = kNone;

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
    const PairCount weight = weight_of(node);

    // Remove the three windows the replacement touches...
    counts[chosen] -= weight;
    if (left != kNone) counts[nodes[left].pair] -= weight;
    if (right != kNone) counts[right_member.pair] -= weight;
    // ...relink, leaving q as a tombstone owned by p...
    right_member.pair = kNoPair;
    right_member.next = p;
    symbols[p] = fresh;
    node.next = right;
    // ...and add the windows holding the new symbol. A window created in
    // this step can vanish in it only as here: the right window of the
    // previous replacement, when this one starts right after it (X a a a a
    // -> X X). It is the window buffered last: take it back, so that the
    // buffer ends the step holding live windows only.
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

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::finish_step(Symbol fresh_symbol) {
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

  for (Index pair = first_new; pair < pair_count; ++pair) {
    const std::uint64_t symbols = pair_symbols_[pair];
    if (right_of(symbols) == fresh_symbol) {
      left_slot_[left_of(symbols)] = kNoPair;
    } else {
      right_slot_[right_of(symbols)] = kNoPair;
    }
    if (counts_[pair] > 0) enqueue(pair);
  }
}

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::reserve_arena(std::size_t extra) {
  if (arena_.size() + extra <= arena_.capacity()) return;
  if (8 * arena_garbage_ >= arena_.size()) compact_arena();
  const std::size_t needed = arena_.size() + extra;
  if (needed > arena_.capacity()) arena_.reserve(std::max(needed, arena_.size() + arena_.size() / 8));
}

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::compact_arena() {
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

template <typename Index, typename Weight>
void PairTrainer<Index, Weight>::write_sequence(std::size_t d, UnitSeq& out) const {
  out.clear();
  const Index begin = sequence_begin_[d];
  if (begin == sequence_begin_[d + 1]) return;
  const Node* nodes = nodes_.data();
  for (Index p = begin; p != kNone; p = nodes[p].next) out.push_back(symbol_units_[symbols_[p]]);
}

template <typename Index, typename Weight>
UnitSeq PairTrainer<Index, Weight>::sequence(std::size_t d) const {
  UnitSeq out;
  write_sequence(d, out);
  return out;
}

template <typename Index, typename Weight>
UnitSeq PairTrainer<Index, Weight>::release_sequence() {
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

}  // namespace pairfuse::core::fast
