#include "python_bindings/build_results.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "python_bindings/pypy_bulk.hpp"

namespace pairfuse::python {
namespace {

#ifndef PYPY_VERSION
// Building a result makes one container per sequence or merge, all of them
// reachable and new. On CPython each few hundred of those would start a
// cyclic collection that walks the young objects; with a million words that
// cost more than the whole engine call. The collector resumes afterwards.
// (PyPy builds batches and merge lists in bulk, with its own collector.)
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};
#endif

Ref to_int(Unit unit) { return require_result(PyLong_FromLong(unit)); }

// The ints of unit lists. On CPython, results repeat a small set of ids
// across many positions: within one call each id's int is made once and
// shared (ints are immutable), which saves an allocation per position now and
// a deallocation when the result goes. Direct-mapped on the low bits, so
// consecutive ids do not collide; a colliding id replaces the one before.
// The slots borrow: every int they point to sits in the result being built,
// which outlives them. So replacing one never touches the old int, which
// keeps ids that rarely repeat almost as cheap as making every int.
// PyPy builds long lists in bulk and gains nothing here.
class UnitInts {
 public:
#ifdef PYPY_VERSION
  explicit UnitInts(std::size_t /*positions*/) {}
  PyObject* get(Unit unit) { return to_int(unit).release(); }
#else
  // Sized for `positions` units at most, so short results stay cheap.
  explicit UnitInts(std::size_t positions)
      : slots_(std::bit_ceil(std::clamp<std::size_t>(positions, 1, kMaxSlots))) {}

  // A new reference to an int of value `unit`, for the result being built.
  PyObject* get(Unit unit) {
    // CPython keeps these ints already (-5 to 256); a slot would only cost.
    if (unit >= -5 && unit <= 256) return to_int(unit).release();
    Slot& slot = slots_[static_cast<std::uint32_t>(unit) & (slots_.size() - 1)];
    if (slot.object != nullptr && slot.unit == unit) {
      Py_INCREF(slot.object);
      return slot.object;
    }
    PyObject* made = to_int(unit).release();
    slot = {unit, made};
    return made;
  }

 private:
  static constexpr std::size_t kMaxSlots = std::size_t{1} << 14;
  struct Slot {
    Unit unit = 0;
    PyObject* object = nullptr;  // borrowed
  };
  std::vector<Slot> slots_;
#endif
};

Ref to_unit_list(std::span<const Unit> units, UnitInts& ints) {
#ifdef PYPY_VERSION
  if (auto list = build_unit_list_in_bulk(units)) return std::move(*list);
#endif
  Ref list = require_result(PyList_New(static_cast<Py_ssize_t>(units.size())));
  for (std::size_t i = 0; i < units.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), ints.get(units[i]));
  }
  return list;
}

Ref to_pair_tuple(Ref first, Ref second) {
  Ref tuple = require_result(PyTuple_New(2));
  PyTuple_SET_ITEM(tuple.get(), 0, first.release());
  PyTuple_SET_ITEM(tuple.get(), 1, second.release());
  return tuple;
}

}  // namespace

Ref to_unit_list(const UnitSeq& units) {
  UnitInts ints(units.size());
  return to_unit_list(units, ints);
}

#ifndef PYPY_VERSION
namespace {

// A new list of `n` new unit lists, list k a copy of sequence(k) (a span of
// units); `units` bounds how many units they hold together.
template <typename Sequence>
Ref unit_lists(std::size_t n, std::size_t units, Sequence sequence) {
  [[maybe_unused]] const CollectorPause pause;
  UnitInts ints(units);
  Ref list = require_result(PyList_New(static_cast<Py_ssize_t>(n)));
  for (std::size_t k = 0; k < n; ++k) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), to_unit_list(sequence(k), ints).release());
  }
  return list;
}

}  // namespace
#endif

Ref to_unit_lists(const UnitBatch& units_list) {
#ifdef PYPY_VERSION
  return build_unit_lists_in_bulk(units_list);
#else
  return unit_lists(units_list.size(), units_list.units().size(), [&](std::size_t k) { return units_list[k]; });
#endif
}

Ref to_unit_lists(const concurrent::DistinctBatch& grouped) {
#ifdef PYPY_VERSION
  return build_unit_lists_in_bulk(grouped.distinct, grouped.of_input);
#else
  return unit_lists(grouped.of_input.size(), grouped.distinct.units().size(),
                    [&](std::size_t k) { return grouped.distinct[grouped.of_input[k]]; });
#endif
}

Ref to_merge_list(const MergeTable& merges) {
#ifdef PYPY_VERSION
  return build_merge_list_in_bulk(merges);
#else
  [[maybe_unused]] const CollectorPause pause;
  Ref list = require_result(PyList_New(static_cast<Py_ssize_t>(merges.size())));
  Py_ssize_t i = 0;
  for (const auto& [pair, id] : merges) {
    Ref pair_tuple = to_pair_tuple(to_int(pair.left), to_int(pair.right));
    PyList_SET_ITEM(list.get(), i++, to_pair_tuple(std::move(pair_tuple), to_int(id)).release());
  }
  return list;
#endif
}

Ref to_training_result(Ref sequences, Ref merge_list) {
#ifndef PYPY_VERSION
  // Every object of the parts counts towards the next collection, so the
  // tuple's allocation would start one here, over all of them. It waits for
  // the caller's next allocation instead, as after the calls that return a list.
  [[maybe_unused]] const CollectorPause pause;
#endif
  return to_pair_tuple(std::move(sequences), std::move(merge_list));
}

}  // namespace pairfuse::python
