#include "python_bindings/build_results.hpp"

#include <utility>

#include "python_bindings/pypy_bulk.hpp"

namespace pairfuse::python {
namespace {

// Building a result makes one container per sequence or merge, all of them
// reachable and new. On CPython each few hundred of those would start a
// cyclic collection that walks the young objects; with a million words that
// cost more than the whole engine call. The collector resumes afterwards.
class CollectorPause {
 public:
#ifndef PYPY_VERSION
  CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
#else
  CollectorPause() = default;
#endif
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
#ifndef PYPY_VERSION
  bool was_enabled_;
#endif
};

Ref to_int(Unit unit) { return require_result(PyLong_FromLong(unit)); }

Ref to_pair_tuple(Ref first, Ref second) {
  Ref tuple = require_result(PyTuple_New(2));
  PyTuple_SET_ITEM(tuple.get(), 0, first.release());
  PyTuple_SET_ITEM(tuple.get(), 1, second.release());
  return tuple;
}

}  // namespace

Ref to_unit_list(const UnitSeq& units) {
#ifdef PYPY_VERSION
  if (auto list = build_unit_list_in_bulk(units)) return std::move(*list);
#endif
  Ref list = require_result(PyList_New(static_cast<Py_ssize_t>(units.size())));
  for (std::size_t i = 0; i < units.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_int(units[i]).release());
  }
  return list;
}

Ref to_unit_lists(const std::vector<UnitSeq>& units_list) {
  [[maybe_unused]] const CollectorPause pause;
  Ref list = require_result(PyList_New(static_cast<Py_ssize_t>(units_list.size())));
  for (std::size_t i = 0; i < units_list.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_unit_list(units_list[i]).release());
  }
  return list;
}

Ref to_merge_list(const MergeTable& merges) {
  [[maybe_unused]] const CollectorPause pause;
  Ref list = require_result(PyList_New(static_cast<Py_ssize_t>(merges.size())));
  Py_ssize_t i = 0;
  for (const auto& [pair, id] : merges) {
    Ref pair_tuple = to_pair_tuple(to_int(pair.left), to_int(pair.right));
    PyList_SET_ITEM(list.get(), i++, to_pair_tuple(std::move(pair_tuple), to_int(id)).release());
  }
  return list;
}

Ref to_training_result(Ref sequences, Ref merge_list) {
  return to_pair_tuple(std::move(sequences), std::move(merge_list));
}

}  // namespace pairfuse::python
