// The extension module `pairfuse_dask._engine`, the Dask package's native
// half: training on sequences that each stand for `count` copies of
// themselves, which is what the tables of distinct sequences summed over a
// cluster are, and pairfuse's batch encode and decode with the interpreter
// lock released. Built from the same binding layer as `pairfuse`, so
// sequences convert with the same rules and errors, and a fatal engine error
// raises the same PanicException type (see boundary.cpp for how the two
// modules find one type).
#include <Python.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "concurrent/engine.hpp"
#include "core/training_records.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/boundary.hpp"
#include "python_bindings/build_results.hpp"
#include "python_bindings/function_table.hpp"
#include "python_bindings/functions.hpp"
#include "python_bindings/handle.hpp"
#include "python_bindings/lock_released.hpp"
#include "python_bindings/logger_observer.hpp"
#include "python_bindings/module_creation.hpp"
#include "python_bindings/read_values.hpp"
#include "unit_batch.hpp"

namespace pairfuse::python {
namespace {

constexpr const char* kCountRangeMessage = "counts[%zd] must be between 1 and 2**63-1, got %S";
constexpr const char* kTotalMessage =
    "the sum of count * len(sequence) (an empty sequence counting 1) is above 2**63-1";

PairCount to_count(PyObject* obj, Py_ssize_t position) {
  return read_index(obj, [&](PyObject* value) {
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (count == -1 && PyErr_Occurred()) return count;
    if (overflow != 0 || count < 1) {
      PyErr_Format(PyExc_ValueError, kCountRangeMessage, position, value);
      throw_pending_error();
    }
    return count;
  });
}

// A sequence (not a set or an iterator: counts pair with sequences by position).
std::vector<PairCount> to_counts(PyObject* obj) {
  if (PyUnicode_Check(obj) || require_status(PySequence_Check(obj)) == 0) throw_cannot_convert(obj, "Sequence");
  Ref fast = require(PySequence_Fast(obj, "counts must be a sequence"));
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(fast.get());
  std::vector<PairCount> counts;
  counts.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t k = 0; k < size; ++k) {
    Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), k));
    counts.push_back(to_count(item.get(), k));
  }
  return counts;
}

bool to_flag(PyObject* obj) {
  if (!PyBool_Check(obj)) throw_cannot_convert(obj, "PyBool");
  return obj == Py_True;
}

// What the engine requires of the counts, checked (with the counts' own
// range, in to_count) before it runs. Pair counts are signed 64-bit: the
// weighted number of units bounds every one of them, so it must fit too.
void check_counts_fit(const UnitBatch& sequences, const std::vector<PairCount>& counts) {
  if (counts.size() != sequences.size()) {
    PyErr_Format(PyExc_ValueError, "sequences and counts differ in length: %zu and %zu", sequences.size(),
                 counts.size());
    throw_pending_error();
  }
  if (!concurrent::weighted_total_fits(sequences, counts)) {
    throw_new_error(PyExc_ValueError, kTotalMessage);
  }
}

using FitWeightedArguments = std::array<PyObject*, 5>;

Ref fit_weighted(const FitWeightedArguments& arguments) {
  const auto [sequences_arg, counts_arg, size_arg, rewrite_given, length_arg] = arguments;
  PyObject* rewrite_arg = rewrite_given != nullptr ? rewrite_given : Py_False;
  UnitBatch sequences = convert_argument("sequences", to_unit_seq_list, sequences_arg);
  std::vector<PairCount> counts = convert_argument("counts", to_counts, counts_arg);
  const std::uint64_t target = convert_argument("target_vocab_size", to_size, size_arg);
  const bool rewrite = convert_argument("rewrite", to_flag, rewrite_arg);
  const core::TrainingLimits limits =
      convert_argument("max_token_length", to_training_limits, length_arg != nullptr ? length_arg : Py_None);
  check_counts_fit(sequences, counts);

  std::optional<LoggerObserver> observer = progress_observer("pairfuse_dask");
  concurrent::FitWeightedResult result;
  {
    LockReleased released;
    if (observer) observer->set_lock(&released);
    result = concurrent::fit_weighted(std::move(sequences), std::move(counts), target,
                                      rewrite ? concurrent::Rewrite::yes : concurrent::Rewrite::no,
                                      observer ? &*observer : nullptr, limits);
  }
  Ref merges = to_merge_list(result.merges);
  if (!rewrite) return merges;
  return to_training_result(to_unit_lists(*result.units_list), std::move(merges));
}

// pairfuse's batch encode and decode, for a Dask task: the same conversions,
// results and errors, but the engine runs with the lock released.
Ref encode_released(PyObject* units_list, PyObject* merges) {
  return encode_batch(units_list, merges, EngineLock::kReleased);
}
Ref decode_released(PyObject* units_list, PyObject* merges) {
  return decode_batch(units_list, merges, EngineLock::kReleased);
}

// Its messages for calls that do not fit are PyArg_ParseTupleAndKeywords's.
constexpr std::array<ParsedFunction<5>, 1> kTraining = {{
    {"fit_weighted", {"sequences", "counts", "target_vocab_size", "rewrite", "max_token_length"}, 3,
     {nullptr, nullptr, nullptr, "False", "None"}, fit_weighted,
     "The merge list that pairfuse.fit_concurrent_py learns from a list holding\n"
     "each sequence counts[k] times (repeats of a sequence add up). Every count\n"
     "is an int from 1 to 2**63-1, and the sum of count * len(sequence) must not\n"
     "exceed 2**63-1. With rewrite=True, returns (rewritten sequences, merges),\n"
     "one rewritten sequence per given sequence. With max_token_length=k, no\n"
     "pair is merged whose token would stand for more than k units."},
}};

constexpr std::array<Function, 2> kBatches = {{
    {"encode_concurrent", {"units_list", "merges"}, encode_released,
     "pairfuse.encode_concurrent_py, with the interpreter lock released while it encodes."},
    {"decode_concurrent", {"units_list", "merges"}, decode_released,
     "pairfuse.decode_concurrent_py, with the interpreter lock released while it decodes."},
}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pairfuse_dask._engine",
    "Weighted training, and batch encoding and decoding without the interpreter lock, for pairfuse_dask.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* module_cache = nullptr;

Ref init_module() {
  static std::array<PyMethodDef, 3> functions = {
      method_def<kTraining, 0>(), method_def<kBatches, 0>(), method_def<kBatches, 1>()};
  return create_module(
      {.definition = module_def, .functions = functions, .add_attributes = add_panic_exception, .created = module_cache});
}

}  // namespace
}  // namespace pairfuse::python

PyMODINIT_FUNC PyInit__engine() { return pairfuse::python::call_boundary(pairfuse::python::init_module); }
