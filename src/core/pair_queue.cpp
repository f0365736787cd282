#include "core/pair_queue.hpp"

#include <algorithm>

namespace pairfuse::core {

template <typename Index>
void PairQueue<Index>::heapify() {
  std::make_heap(heap_.begin(), heap_.end(),
                 [](const Entry& a, const Entry& b) { return better_training_candidate(b.candidate, a.candidate); });
}

template <typename Index>
void PairQueue<Index>::heap_push(const Entry& entry) {
  std::size_t hole = heap_.size();
  heap_.push_back(entry);
  Entry* heap = heap_.data();
  while (hole > 0) {
    const std::size_t parent = (hole - 1) / 2;
    if (!better_training_candidate(entry.candidate, heap[parent].candidate)) break;
    heap[hole] = heap[parent];
    hole = parent;
  }
  heap[hole] = entry;
}

template <typename Index>
void PairQueue<Index>::heap_sift_down(std::size_t hole, Entry entry) {
  Entry* heap = heap_.data();
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

template <typename Index>
void PairQueue<Index>::heap_pop() {
  const Entry last = heap_.back();
  heap_.pop_back();
  if (!heap_.empty()) heap_sift_down(0, last);
}

template class PairQueue<std::uint32_t>;
template class PairQueue<std::uint64_t>;

}  // namespace pairfuse::core
