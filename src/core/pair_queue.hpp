// The lazy max-queue that chooses the pair each training step merges: the
// pair of highest count, the smallest pair among equal counts
// (core::better_training_candidate).
//
// Pairs are known by dense index. The caller keeps every pair's live count
// and hands it in (`counts`), with `pair_of(index)` for the pair's units.
// The queue relies on one fact of training: a pair gains windows only in the
// step that creates its newer member, and is pushed at the end of that step
// with its count then; afterwards its count only falls. So an entry never
// ranks below its pair's live count: one equal to it is exact, one above it
// is stale and is re-ranked (or dropped when the pair no longer occurs) when
// it reaches the top.
//
// Pairs whose count is far below the top wait outside the heap, in buckets
// by floor(log2(count)), and join the heap when the top comes down near
// them. Every pair with a positive count is either in the heap, once, with a
// count at least its live count, or in the bucket of a count bound below the
// heap's floor.
//
// Performance notes (December 2026): with every new pair pushed, sifting a 1.4-million-entry
// heap took a third as long as the merges themselves on the whole 11 MB
// corpus; most new pairs occur once or twice and are never chosen, so they
// wait in the buckets. The heap is written out rather than std::push_heap
// because the lazy re-ranking replaces the top (one sift instead of a pop and
// a push) all the time.
#pragma once

#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/huge_array.hpp"
#include "core/training_rules.hpp"
#include "types.hpp"

namespace pairfuse::core {

template <typename Index>
class PairQueue {
 public:
  // Every pair of positive count for which `eligible(index)` holds, before
  // the first choice: the pairs within 2^kHeapSpanBits of the top count go
  // into the heap, the others wait.
  template <typename PairOf, typename Eligible>
  void fill(std::span<const PairCount> counts, PairOf&& pair_of, Eligible&& eligible);

  // A pair whose count has just risen from nothing (`count` is positive).
  // Its units are looked up only when it goes into the heap.
  template <typename PairOf>
  void push(Index pair, PairCount count, PairOf&& pair_of) {
    if (count >= PairCount{1} << floor_bits_) {
      heap_push({{count, pair_of(pair)}, pair});
    } else {
      buckets_[count_bits(count)].push_back(pair);
    }
  }

  // The best pair by live count, or nothing when no pair occurs any more.
  template <typename PairOf>
  std::optional<Index> top(std::span<const PairCount> counts, PairOf&& pair_of);

  // Removes the pair top() has just returned.
  void pop() { heap_pop(); }

  std::size_t heap_size() const { return heap_.size(); }

 private:
  struct Entry {
    TrainingCandidate candidate;
    Index pair;
  };

  // floor(log2(count)) for a positive count.
  static int count_bits(PairCount count) { return std::bit_width(static_cast<std::uint64_t>(count)) - 1; }
  static constexpr int kHeapSpanBits = 4;

  template <typename PairOf>
  void lower_floor(std::span<const PairCount> counts, PairOf&& pair_of);
  void heap_push(const Entry& entry);
  void heap_pop();
  void heap_sift_down(std::size_t hole, Entry entry);
  void heapify();

  HugeArray<Entry> heap_;
  // Pairs pushed with a count of at least 2^floor_bits_ are in the heap; the
  // others wait in buckets_[floor(log2(count))].
  int floor_bits_ = 0;
  std::array<std::vector<Index>, 64> buckets_;
};

template <typename Index>
template <typename PairOf, typename Eligible>
void PairQueue<Index>::fill(std::span<const PairCount> counts, PairOf&& pair_of, Eligible&& eligible) {
  PairCount top = 0;
  for (std::size_t pair = 0; pair < counts.size(); ++pair) {
    if (counts[pair] > top && eligible(static_cast<Index>(pair))) top = counts[pair];
  }
  floor_bits_ = top > 0 ? std::max(0, count_bits(top) - kHeapSpanBits) : 0;
  const PairCount floor = PairCount{1} << floor_bits_;
  for (std::size_t pair = 0; pair < counts.size(); ++pair) {
    const auto index = static_cast<Index>(pair);
    if (counts[pair] == 0 || !eligible(index)) continue;
    if (counts[pair] >= floor) {
      heap_.push_back({{counts[pair], pair_of(index)}, index});
    } else {
      buckets_[count_bits(counts[pair])].push_back(index);
    }
  }
  heapify();
}

template <typename Index>
template <typename PairOf>
std::optional<Index> PairQueue<Index>::top(std::span<const PairCount> counts, PairOf&& pair_of) {
  // Waiting pairs were pushed below the heap's floor and stay below it, so an
  // exact top at or above the floor is the best pair; below it, the floor
  // comes down first.
  while (true) {
    while (!heap_.empty()) {
      Entry entry = heap_.front();
      const PairCount live = counts[entry.pair];
      assert(live <= entry.candidate.count);
      if (live == entry.candidate.count) break;
      if (live > 0) {
        entry.candidate.count = live;
        heap_sift_down(0, entry);
      } else {
        heap_pop();
      }
    }
    if (!heap_.empty() && heap_.front().candidate.count >= PairCount{1} << floor_bits_) return heap_.front().pair;
    if (floor_bits_ == 0) return std::nullopt;  // the heap is empty and nothing waits
    lower_floor(counts, pair_of);
  }
}

template <typename Index>
template <typename PairOf>
void PairQueue<Index>::lower_floor(std::span<const PairCount> counts, PairOf&& pair_of) {
  // Down to the valid top's own power of two, or to the highest waiting
  // bucket when the heap is empty; the pairs of the buckets passed join the heap.
  int floor_bits = 0;
  if (!heap_.empty()) {
    floor_bits = count_bits(heap_.front().candidate.count);
  } else {
    for (int b = floor_bits_ - 1; b >= 0; --b) {
      if (!buckets_[b].empty()) {
        floor_bits = b;
        break;
      }
    }
  }
  for (int b = floor_bits; b < floor_bits_; ++b) {
    for (Index pair : buckets_[b]) {
      if (counts[pair] > 0) heap_push({{counts[pair], pair_of(pair)}, pair});
    }
    std::vector<Index>().swap(buckets_[b]);
  }
  floor_bits_ = floor_bits;
}

extern template class PairQueue<std::uint32_t>;
extern template class PairQueue<std::uint64_t>;

}  // namespace pairfuse::core
