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

// Training progress as records of the Python logger "pairfuse_dask": the plan
// and every hundredth of it at INFO, every merge at DEBUG. Called on the
// calling thread, which takes the interpreter lock back for each record; an
// exception from the logger unwinds through the engine like a fatal error would.
class LoggerObserver final : public core::TrainingObserver {
 public:
  static constexpr int kDebug = 10;
  static constexpr int kInfo = 20;

  LoggerObserver(Ref logger, bool debug) : logger_(std::move(logger)), debug_(debug) {}

  // Where the lock is while the engine runs.
  void set_lock(LockReleased* released) { released_ = released; }

  void on_plan(std::uint64_t planned) override {
    stride_ = std::max<std::uint64_t>(planned / 100, 1);
    log(kInfo, fmt::format(core::kPlanRecord, planned));
  }
  void on_merge(std::uint64_t step, std::uint64_t planned, UnitPair pair, Unit id) override {
    const bool milestone = step % stride_ == 0 || step == planned;
    if (milestone || debug_) log(milestone ? kInfo : kDebug, fmt::format(core::kMergeRecord, step, planned, pair, id));
  }
  void on_no_pairs_left() override { log(kInfo, std::string(core::kNoPairsRecord)); }

 private:
  void log(int level, const std::string& message) {
    std::optional<LockReleased::Retaken> lock;
    if (released_ != nullptr) lock.emplace(*released_);
    Ref text = require(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    Ref level_value = require(PyLong_FromLong(level));
    Ref method = require(PyUnicode_FromString("log"));
    Ref result = require(PyObject_CallMethodObjArgs(logger_.get(), method.get(), level_value.get(), text.get(), nullptr));
  }

  Ref logger_;
  bool debug_;
  LockReleased* released_ = nullptr;
  std::uint64_t stride_ = 1;
};

bool logger_enabled_for(PyObject* logger, int level) {
  Ref answer = require(PyObject_CallMethod(logger, "isEnabledFor", "i", level));
  return require_status(PyObject_IsTrue(answer.get())) == 1;
}

// The logger when it would show anything, else nothing (and no observer).
std::optional<LoggerObserver> progress_observer() {
  Ref logging = require(PyImport_ImportModule("logging"));
  Ref logger = require(PyObject_CallMethod(logging.get(), "getLogger", "s", "pairfuse_dask"));
  if (!logger_enabled_for(logger.get(), LoggerObserver::kInfo)) return std::nullopt;
  const bool debug = logger_enabled_for(logger.get(), LoggerObserver::kDebug);
  return std::optional<LoggerObserver>(std::in_place, std::move(logger), debug);
}

using FitWeightedArguments = std::array<PyObject*, 4>;

Ref fit_weighted(const FitWeightedArguments& arguments) {
  const auto [sequences_arg, counts_arg, size_arg, rewrite_given] = arguments;
  PyObject* rewrite_arg = rewrite_given != nullptr ? rewrite_given : Py_False;
  UnitBatch sequences = convert_argument("sequences", to_unit_seq_list, sequences_arg);
  std::vector<PairCount> counts = convert_argument("counts", to_counts, counts_arg);
  const std::uint64_t target = convert_argument("target_vocab_size", to_size, size_arg);
  const bool rewrite = convert_argument("rewrite", to_flag, rewrite_arg);
  check_counts_fit(sequences, counts);

  std::optional<LoggerObserver> observer = progress_observer();
  concurrent::FitWeightedResult result;
  {
    LockReleased released;
    if (observer) observer->set_lock(&released);
    result = concurrent::fit_weighted(std::move(sequences), std::move(counts), target,
                                      rewrite ? concurrent::Rewrite::yes : concurrent::Rewrite::no,
                                      observer ? &*observer : nullptr);
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
constexpr std::array<ParsedFunction<4>, 1> kTraining = {{
    {"fit_weighted", {"sequences", "counts", "target_vocab_size", "rewrite"}, 3, {nullptr, nullptr, nullptr, "False"},
     fit_weighted,
     "The merge list that pairfuse.fit_concurrent_py learns from a list holding\n"
     "each sequence counts[k] times (repeats of a sequence add up). Every count\n"
     "is an int from 1 to 2**63-1, and the sum of count * len(sequence) must not\n"
     "exceed 2**63-1. With rewrite=True, returns (rewritten sequences, merges),\n"
     "one rewritten sequence per given sequence."},
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

void add_panic_exception(PyObject* module) {
  PyObject* panic = panic_exception_type();
  if (panic == nullptr) throw_pending_error();
  require_status(PyObject_SetAttrString(module, "PanicException", panic));
}

Ref init_module() {
  static std::array<PyMethodDef, 3> functions = {
      method_def<kTraining, 0>(), method_def<kBatches, 0>(), method_def<kBatches, 1>()};
  return create_module(
      {.definition = module_def, .functions = functions, .add_attributes = add_panic_exception, .created = module_cache});
}

}  // namespace
}  // namespace pairfuse::python

PyMODINIT_FUNC PyInit__engine() { return pairfuse::python::call_boundary(pairfuse::python::init_module); }
