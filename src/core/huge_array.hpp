// Growable arrays for the engine's big tables, backed by transparent huge
// pages and grown in place.
//
// Why not std::vector: the tables are touched once at setup and then at
// random. On virtual machines that shadow guest page tables, every first
// touch of a 4 KiB page exits to the hypervisor; we measured about 6 ms per
// MiB on the development machine, more than a whole counting pass over an
// 11 MB input. Mapping big arrays with 2 MiB pages (MADV_HUGEPAGE) cuts those
// faults 512-fold, and growing them with mremap moves page tables instead of
// copying into freshly faulted memory, so an array that doubles touches only
// the pages it uses. On bare metal the huge pages also spare TLB misses in
// the random accesses of a step.
//
// Elements are trivially copyable and start uninitialized (every table is
// written before it is read).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace pairfuse::core {

namespace memory {
// Blocks of this size and above get a mapping of their own, with huge pages.
inline constexpr std::size_t kHugeBytes = std::size_t{1} << 21;

// Returns a block of at least `new_bytes` holding the first `keep_bytes` of
// `block` (of `old_bytes`; nullptr with 0 for none); frees `block`.
// Throws std::bad_alloc.
void* resize_block(void* block, std::size_t old_bytes, std::size_t new_bytes, std::size_t keep_bytes);
void free_block(void* block, std::size_t bytes) noexcept;
// Asks for huge pages over the whole 2 MiB pages inside [block, block + bytes):
// for big buffers that are not a HugeArray, before their pages are first touched.
void advise_huge_pages(void* block, std::size_t bytes) noexcept;
}  // namespace memory

template <typename T>
void advise_huge_pages(std::vector<T>& buffer) noexcept {
  memory::advise_huge_pages(buffer.data(), buffer.capacity() * sizeof(T));
}

// A vector of `size` zeros whose pages, when big, are huge from the first touch.
template <typename T>
std::vector<T> zeroed_vector(std::size_t size) {
  std::vector<T> buffer;
  buffer.reserve(size);
  advise_huge_pages(buffer);
  buffer.resize(size);
  return buffer;
}

// An allocator for containers outside our control (hash tables) whose big
// blocks should get huge pages too; small blocks come from malloc.
template <typename T>
struct HugePageAllocator {
  using value_type = T;
  HugePageAllocator() = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}  // NOLINT(google-explicit-constructor)
  T* allocate(std::size_t n) { return static_cast<T*>(memory::resize_block(nullptr, 0, n * sizeof(T), 0)); }
  void deallocate(T* p, std::size_t n) noexcept { memory::free_block(p, n * sizeof(T)); }
  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) { return true; }
};

template <typename T>
class HugeArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  HugeArray() = default;
  explicit HugeArray(std::size_t size) { resize(size); }
  HugeArray(const HugeArray&) = delete;
  HugeArray& operator=(const HugeArray&) = delete;
  HugeArray(HugeArray&& other) noexcept { swap(other); }
  HugeArray& operator=(HugeArray&& other) noexcept {
    HugeArray(std::move(other)).swap(*this);
    return *this;
  }
  ~HugeArray() { memory::free_block(data_, capacity_ * sizeof(T)); }

  void swap(HugeArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T& front() { return data_[0]; }
  T& back() { return data_[size_ - 1]; }

  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    data_ = static_cast<T*>(
        memory::resize_block(data_, capacity_ * sizeof(T), capacity * sizeof(T), size_ * sizeof(T)));
    capacity_ = capacity;
  }
  // New elements are left uninitialized.
  void resize(std::size_t size) {
    if (size > capacity_) reserve(std::max(size, capacity_ + capacity_ / 2));
    size_ = size;
  }
  void assign(std::size_t size, const T& value) {
    resize(size);
    std::fill(data_, data_ + size, value);
  }
  void push_back(const T& value) {
    if (size_ == capacity_) reserve(std::max<std::size_t>(16, capacity_ + capacity_ / 2));
    data_[size_++] = value;
  }
  void pop_back() { --size_; }
  void clear() { size_ = 0; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace pairfuse::core
