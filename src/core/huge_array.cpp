#include "core/huge_array.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace pairfuse::core::memory {
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

void advise_huge_pages(void* begin, std::size_t bytes) noexcept {
  constexpr std::uintptr_t kPage = 4096;
  const auto start = reinterpret_cast<std::uintptr_t>(begin);
  const std::uintptr_t first = (start + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = (start + bytes) & ~(kPage - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace pairfuse::core::memory
