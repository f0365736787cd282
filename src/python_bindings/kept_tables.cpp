#include "python_bindings/kept_tables.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "python_bindings/handle.hpp"
#include "python_bindings/pypy_bulk.hpp"
#include "python_bindings/read_values.hpp"

namespace pairfuse::python {
namespace {

bool may_be_kept(PyObject* merges) {
  return (PyList_CheckExact(merges) || PyTuple_CheckExact(merges)) &&
         PySequence_Fast_GET_SIZE(merges) >= static_cast<Py_ssize_t>(kKeepMinimum);
}

#ifndef PYPY_VERSION
// The item pointers of an exact list or tuple.
std::span<PyObject* const> items_of(PyObject* merges) {
  return {PySequence_Fast_ITEMS(merges), static_cast<std::size_t>(PySequence_Fast_GET_SIZE(merges))};
}

// References to the entries a table was read from, in their order then.
class HeldEntries {
 public:
  explicit HeldEntries(PyObject* merges) {
    const std::span<PyObject* const> items = items_of(merges);
    items_.assign(items.begin(), items.end());
    for (PyObject* item : items_) Py_INCREF(item);
  }
  HeldEntries(HeldEntries&& other) noexcept : items_(std::exchange(other.items_, {})) {}
  HeldEntries& operator=(HeldEntries&& other) noexcept {
    HeldEntries old(std::move(*this));
    items_ = std::exchange(other.items_, {});
    return *this;
  }
  ~HeldEntries() {
    for (PyObject* item : items_) Py_DECREF(item);
  }

  bool held_by(PyObject* merges) const {
    const std::span<PyObject* const> items = items_of(merges);
    return items.size() == items_.size() && std::memcmp(items.data(), items_.data(), items.size_bytes()) == 0;
  }
  // Whether the caller let its list go: nothing else holds the first entry.
  bool only_here() const { return Py_REFCNT(items_.front()) == 1; }
  std::size_t memory_bytes() const { return items_.capacity() * sizeof(PyObject*); }

 private:
  std::vector<PyObject*> items_;
};
#else
// PyPy: a list of the same entry objects, which the bulk reading helper
// compares with an argument item by item (`is`).
class HeldEntries {
 public:
  explicit HeldEntries(PyObject* merges) : list_(require(PySequence_List(merges))) {}
  PyObject* list() const { return list_.get(); }
  std::size_t memory_bytes() const { return 8 * static_cast<std::size_t>(PyList_GET_SIZE(list_.get())); }

 private:
  Ref list_;
};
#endif

// How a list looked: its size and the identities of its first, middle and
// last items.
using Sighting = std::array<std::uint64_t, 4>;

#ifndef PYPY_VERSION
Sighting sighting_of(PyObject* merges) {
  const std::span<PyObject* const> items = items_of(merges);
  auto identity = [](PyObject* item) { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(item)); };
  return {items.size(), identity(items.front()), identity(items[items.size() / 2]), identity(items.back())};
}
#else
Sighting sighting_of(PyObject* merges) { return sighting_in_bulk(merges); }
#endif

struct Kept {
  HeldEntries entries;
  SharedTable table;
  std::size_t bytes;
  std::uint64_t last_use;
};

// Guarded by the interpreter lock. Evicted tables are taken out first and
// released last, once the cache is consistent again.
class KeptTables {
 public:
  SharedTable find(PyObject* merges) {
    std::vector<Kept> released;
    release_let_go(released);
    if (kept_.empty() || !may_be_kept(merges)) return nullptr;
    const std::optional<std::size_t> k = position_of(merges);
    if (!k) return nullptr;
    kept_[*k].last_use = ++clock_;
    return kept_[*k].table;
  }

  void keep(PyObject* merges, const SharedTable& table) {
    if (!may_be_kept(merges) || !seen_before(merges)) return;
    HeldEntries entries(merges);
    const std::size_t bytes = table->memory_bytes() + entries.memory_bytes();
    if (bytes > kMaxKeptBytes) return;
    std::vector<Kept> released;
    while (!kept_.empty() && (kept_.size() >= kMaxKept || bytes_ + bytes > kMaxKeptBytes)) {
      const auto oldest = std::min_element(kept_.begin(), kept_.end(),
                                           [](const Kept& a, const Kept& b) { return a.last_use < b.last_use; });
      take_out(static_cast<std::size_t>(oldest - kept_.begin()), released);
    }
    kept_.push_back({std::move(entries), table, bytes, ++clock_});
    bytes_ += bytes;
    changed();
  }

 private:
  void take_out(std::size_t k, std::vector<Kept>& released) {
    bytes_ -= kept_[k].bytes;
    released.push_back(std::move(kept_[k]));
    kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(k));
    changed();
  }

  // A list is kept the second time it comes: a table used once never has
  // its entries held (nor its memory kept from the next new table). What a
  // list looked like is remembered without references; a stale memory
  // (its objects gone, the addresses taken by others) only makes a list be
  // kept one call early.
  bool seen_before(PyObject* merges) {
    const Sighting sighting = sighting_of(merges);
    if (std::find(sightings_.begin(), sightings_.end(), sighting) != sightings_.end()) return true;
    sightings_[next_sighting_++ % sightings_.size()] = sighting;
    return false;
  }

  std::array<Sighting, 4 * kMaxKept> sightings_{};
  std::size_t next_sighting_ = 0;

#ifndef PYPY_VERSION
  void release_let_go(std::vector<Kept>& released) {
    for (std::size_t k = kept_.size(); k-- > 0;) {
      if (kept_[k].entries.only_here()) take_out(k, released);
    }
  }

  std::optional<std::size_t> position_of(PyObject* merges) const {
    for (std::size_t k = 0; k < kept_.size(); ++k) {
      if (kept_[k].entries.held_by(merges)) return k;
    }
    return std::nullopt;
  }

  void changed() {}
#else
  // PyPy's reference counts say nothing about who holds an object.
  void release_let_go(std::vector<Kept>&) {}

  std::optional<std::size_t> position_of(PyObject* merges) {
    if (!held_lists_) {
      held_lists_ = require(PyList_New(static_cast<Py_ssize_t>(kept_.size())));
      for (std::size_t k = 0; k < kept_.size(); ++k) {
        PyObject* list = kept_[k].entries.list();
        Py_INCREF(list);
        PyList_SET_ITEM(held_lists_.get(), static_cast<Py_ssize_t>(k), list);
      }
    }
    const std::ptrdiff_t k = find_held_entries_in_bulk(merges, held_lists_.get());
    if (k < 0) return std::nullopt;
    return static_cast<std::size_t>(k);
  }

  void changed() { held_lists_ = Ref(); }

  // The kept entry lists in the order of kept_, handed to the helper in one
  // call; made again after every change.
  Ref held_lists_;
#endif

  std::vector<Kept> kept_;
  std::size_t bytes_ = 0;
  std::uint64_t clock_ = 0;
};

// Never destroyed: its references must not be released after the
// interpreter has gone at exit.
KeptTables& kept_tables() {
  static KeptTables* const tables = new KeptTables;
  return *tables;
}

}  // namespace

SharedTable prepared_table(PyObject* merges) {
  KeptTables& kept = kept_tables();
  if (SharedTable table = kept.find(merges)) return table;
  MergeEntries read = to_merge_entries(merges);
  // Reading a plain list runs no code of the caller's: its items are still
  // the entries just read.
  const bool keep = read.plain && read.entries.size() >= kKeepMinimum;
  auto table = std::make_shared<const core::PreparedTable>(std::move(read.entries));
  if (keep) kept.keep(merges, table);
  return table;
}

}  // namespace pairfuse::python
