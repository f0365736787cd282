// The extension module `pairfuse_tokenizer._native`: the native half of
// pairfuse_tokenizer.Tokenizer. A prepared merge table travels to Python as a
// capsule owning its shared_ptr, so a call holds the table for as long as
// the engine uses it. Arguments convert with pairfuse's own rules and errors
// (the same binding layer); results are raw int32 and int64 buffers
// (result_buffer.hpp) that the Python half wraps as arrays, never lists of ints. Every engine call runs
// with the interpreter lock released.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "concurrent/engine.hpp"
#include "core/engine.hpp"
#include "core/prepared_table.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/boundary.hpp"
#include "python_bindings/build_results.hpp"
#include "python_bindings/handle.hpp"
#include "python_bindings/kept_tables.hpp"
#include "python_bindings/lock_released.hpp"
#include "python_bindings/logger_observer.hpp"
#include "python_bindings/pairfuse_tokenizer/distinct_counter.hpp"
#include "python_bindings/pairfuse_tokenizer/result_buffer.hpp"
#include "python_bindings/read_values.hpp"
#include "unit_batch.hpp"

namespace pairfuse::python {
namespace {

constexpr const char* kTableCapsule = "pairfuse_tokenizer.PreparedTable";
constexpr const char* kCounterCapsule = "pairfuse_tokenizer.DistinctCounter";

// ---------------------------------------------------------------- capsules

template <typename T>
void delete_capsule_content(PyObject* capsule, const char* name) {
  delete static_cast<T*>(PyCapsule_GetPointer(capsule, name));
}

Ref table_capsule(SharedTable table) {
  auto owned = std::make_unique<SharedTable>(std::move(table));
  Ref capsule = require_result(PyCapsule_New(owned.get(), kTableCapsule, [](PyObject* c) {
    delete_capsule_content<SharedTable>(c, kTableCapsule);
  }));
  owned.release();
  return capsule;
}

// A copy of the capsule's shared_ptr: the table stays alive for the call
// even if the capsule goes meanwhile.
SharedTable table_of(PyObject* capsule) {
  auto* table = static_cast<SharedTable*>(PyCapsule_GetPointer(capsule, kTableCapsule));
  if (table == nullptr) throw_pending_error();
  return *table;
}

// What training needs besides the sequences: settings converted (and so
// checked) before the stream is read, and the counts of what it held.
struct Training {
  std::uint64_t vocab_size;
  std::optional<std::uint64_t> max_token_length;
  DistinctCounter counter;
};

Training& training_of(PyObject* capsule) {
  auto* training = static_cast<Training*>(PyCapsule_GetPointer(capsule, kCounterCapsule));
  if (training == nullptr) throw_pending_error();
  return *training;
}

// ---------------------------------------------------------------- results

Ref batch_buffers(UnitBatch batch) {
  static_assert(sizeof(std::size_t) == sizeof(std::int64_t));
  auto [units, offsets] = std::move(batch).release();
  Ref values = result_buffer(std::move(units));
  Ref offset_values = result_buffer(std::move(offsets));
  Ref pair = require_result(PyTuple_New(2));
  PyTuple_SET_ITEM(pair.get(), 0, values.release());
  PyTuple_SET_ITEM(pair.get(), 1, offset_values.release());
  return pair;
}

// ---------------------------------------------------------------- functions

constexpr Signature kEncode{"encode", {"table", "units"}};
constexpr Signature kDecode{"decode", {"table", "tokens"}};
constexpr Signature kExpand{"expand", {"table", "token"}};
constexpr Signature kEncodeBatch{"encode_batch", {"table", "batch"}};
constexpr Signature kDecodeBatch{"decode_batch", {"table", "batch"}};
constexpr Signature kCountAdd{"count", {"training", "chunk"}};
constexpr Signature kTrain{"train", {"training", "progress"}};

using SequenceEngine = UnitSeq (*)(UnitSeq, const core::PreparedTable&);
using BatchEngine = UnitBatch (*)(UnitBatch, const core::PreparedTable&);

Ref apply_to_sequence(const Signature& signature, SequenceEngine engine, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  const auto [table_arg, units_arg] = bind_arguments(signature, args, nargs, kwnames);
  const SharedTable table = table_of(table_arg);
  UnitSeq units = convert_argument(signature.parameters[1], to_unit_seq, units_arg);
  UnitSeq result = run_engine(EngineLock::kReleased, [&] { return engine(std::move(units), *table); });
  return result_buffer(std::move(result));
}

Ref apply_to_batch(const Signature& signature, BatchEngine engine, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  const auto [table_arg, batch_arg] = bind_arguments(signature, args, nargs, kwnames);
  const SharedTable table = table_of(table_arg);
  UnitBatch batch = convert_argument(signature.parameters[1], to_unit_seq_list, batch_arg);
  UnitBatch result = run_engine(EngineLock::kReleased, [&] { return engine(std::move(batch), *table); });
  return batch_buffers(std::move(result));
}

Ref prepare(PyObject* /*module*/, PyObject* merges) {
  return table_capsule(convert_argument("merges", prepared_table, merges));
}

Ref merge_list(PyObject* /*module*/, PyObject* table_arg) {
  const SharedTable table = table_of(table_arg);
  MergeTable merges;
  merges.reserve(table->size());
  for (const MergeTable::Entry& entry : table->entries()) merges.insert_or_assign(entry.pair, entry.id);
  return to_merge_list(merges);
}

Ref expand(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [table_arg, token_arg] = bind_arguments(kExpand, args, nargs, kwnames);
  const SharedTable table = table_of(table_arg);
  const Unit token = convert_argument("token", to_unit, token_arg);
  UnitSeq units = run_engine(EngineLock::kReleased, [&] { return core::decode(UnitSeq{token}, *table); });
  return result_buffer(std::move(units));
}

// Starts a training: vocab_size and max_token_length are read first, so a
// bad one fails before any of the stream is.
Ref start_training(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"vocab_size", "max_token_length", nullptr};
  PyObject* size_arg = nullptr;
  PyObject* length_arg = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:start_training", const_cast<char**>(keywords), &size_arg,
                                   &length_arg)) {
    throw_pending_error();
  }
  auto training = std::make_unique<Training>();
  training->vocab_size = convert_argument("vocab_size", to_size, size_arg);
  if (length_arg != Py_None) {
    training->max_token_length = convert_argument("max_token_length", to_size, length_arg);
    // Kept for the engine's cap on token length, once it has one.
    throw_new_error(PyExc_NotImplementedError, "max_token_length is not supported yet");
  }
  Ref capsule = require_result(PyCapsule_New(training.get(), kCounterCapsule, [](PyObject* c) {
    delete_capsule_content<Training>(c, kCounterCapsule);
  }));
  training.release();
  return capsule;
}

// Counts one chunk of the stream (a list of sequences); converted as
// fit_concurrent_py converts its units_list, with the same errors.
Ref count(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [training_arg, chunk_arg] = bind_arguments(kCountAdd, args, nargs, kwnames);
  Training& training = training_of(training_arg);
  const UnitBatch chunk = convert_argument("units_list", to_unit_seq_list, chunk_arg);
  run_engine(EngineLock::kReleased, [&] { training.counter.add(chunk); });
  return require_result(PyLong_FromSize_t(training.counter.distinct()));
}

// The merges' progress for a Python callable progress(step, planned), every
// hundredth of the plan, alongside the records of the "pairfuse_tokenizer" logger.
class TrainingProgress final : public core::TrainingObserver {
 public:
  TrainingProgress(std::optional<LoggerObserver> logger, Ref callback)
      : logger_(std::move(logger)), callback_(std::move(callback)) {}

  void set_lock(LockReleased* released) {
    released_ = released;
    if (logger_) logger_->set_lock(released);
  }

  void on_plan(std::uint64_t planned) override {
    if (logger_) logger_->on_plan(planned);
    stride_ = std::max<std::uint64_t>(planned / 100, 1);
    report(0, planned);
  }
  void on_merge(std::uint64_t step, std::uint64_t planned, UnitPair pair, Unit id) override {
    if (logger_) logger_->on_merge(step, planned, pair, id);
    if (step % stride_ == 0 || step == planned) report(step, planned);
  }
  void on_no_pairs_left() override {
    if (logger_) logger_->on_no_pairs_left();
  }

 private:
  void report(std::uint64_t step, std::uint64_t planned) {
    if (!callback_) return;
    std::optional<LockReleased::Retaken> lock;
    if (released_ != nullptr) lock.emplace(*released_);
    Ref result = require(PyObject_CallFunction(callback_.get(), "KK", static_cast<unsigned long long>(step),
                                               static_cast<unsigned long long>(planned)));
  }

  std::optional<LoggerObserver> logger_;
  Ref callback_;
  LockReleased* released_ = nullptr;
  std::uint64_t stride_ = 1;
};

constexpr const char* kTotalMessage = "the sequences hold more than 2**63-1 units";

// Trains once over the distinct sequences counted; the counter is spent.
Ref train(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [training_arg, progress_arg] = bind_arguments(kTrain, args, nargs, kwnames);
  Training& training = training_of(training_arg);
  auto [sequences, counts] = training.counter.release();
  if (!concurrent::weighted_total_fits(sequences, counts)) throw_new_error(PyExc_ValueError, kTotalMessage);
  TrainingProgress progress(progress_observer("pairfuse_tokenizer"),
                            progress_arg == Py_None ? Ref() : Ref::borrow(progress_arg));
  MergeTable merges;
  {
    LockReleased released;
    progress.set_lock(&released);
    merges = concurrent::fit_weighted_distinct(std::move(sequences), std::move(counts), training.vocab_size,
                                               &progress);
  }
  return table_capsule(std::make_shared<const core::PreparedTable>(merges));
}

// ---------------------------------------------------------------- module

template <typename Body>
PyObject* fast_entry(Body body, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_boundary([&] { return body(args, nargs, kwnames); });
}

PyObject* encode_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_boundary([&] { return apply_to_sequence(kEncode, core::encode, args, nargs, kwnames); });
}
PyObject* decode_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_boundary([&] { return apply_to_sequence(kDecode, core::decode, args, nargs, kwnames); });
}
PyObject* encode_batch_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_boundary([&] {
    return apply_to_batch(kEncodeBatch, concurrent::encode_concurrent, args, nargs, kwnames);
  });
}
PyObject* decode_batch_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_boundary([&] {
    return apply_to_batch(kDecodeBatch, concurrent::decode_concurrent, args, nargs, kwnames);
  });
}
PyObject* expand_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return fast_entry(expand, args, nargs, kwnames);
}
PyObject* count_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return fast_entry(count, args, nargs, kwnames);
}
PyObject* train_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return fast_entry(train, args, nargs, kwnames);
}
PyObject* prepare_entry(PyObject* module, PyObject* arg) noexcept {
  return call_boundary([&] { return prepare(module, arg); });
}
PyObject* merges_entry(PyObject* module, PyObject* arg) noexcept {
  return call_boundary([&] { return merge_list(module, arg); });
}
PyObject* start_training_entry(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
  return call_boundary([&] { return start_training(module, args, kwargs); });
}

template <typename Entry>
PyCFunction as_method(Entry entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef functions[] = {
    {"prepare", as_method(&prepare_entry), METH_O, "prepare(merges)\n--\n\nThe prepared table of a merge list."},
    {"merges", as_method(&merges_entry), METH_O, "merges(table)\n--\n\nThe table's merge list, in its order."},
    {"encode", as_method(&encode_entry), kFast, "encode(table, units)\n--\n\nThe tokens, as int32 bytes."},
    {"decode", as_method(&decode_entry), kFast, "decode(table, tokens)\n--\n\nThe units, as int32 bytes."},
    {"expand", as_method(&expand_entry), kFast, "expand(table, token)\n--\n\nThe token's units, as int32 bytes."},
    {"encode_batch", as_method(&encode_batch_entry), kFast,
     "encode_batch(table, batch)\n--\n\n(int32 values, int64 offsets) bytes of the encoded batch."},
    {"decode_batch", as_method(&decode_batch_entry), kFast,
     "decode_batch(table, batch)\n--\n\n(int32 values, int64 offsets) bytes of the decoded batch."},
    {"start_training", as_method(&start_training_entry), METH_VARARGS | METH_KEYWORDS,
     "start_training(vocab_size, max_token_length=None)\n--\n\nA counter of distinct sequences for one training."},
    {"count", as_method(&count_entry), kFast,
     "count(training, chunk)\n--\n\nCounts a list of sequences; returns the number of distinct ones so far."},
    {"train", as_method(&train_entry), kFast,
     "train(training, progress)\n--\n\nTrains over the counted sequences; returns the prepared table."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pairfuse_tokenizer._native",
    "The native half of pairfuse_tokenizer, on pairfuse's engine.",
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// As for pairfuse: a second initialisation returns the first module.
PyObject* module_cache = nullptr;

Ref init_module() {
  if (module_cache != nullptr) return Ref::borrow(module_cache);
  ready_result_buffer_type();
  Ref module = require(PyModule_Create2(&module_def, PYTHON_API_VERSION));
  PyObject* panic = panic_exception_type();
  if (panic == nullptr) throw_pending_error();
  require_status(PyObject_SetAttrString(module.get(), "PanicException", panic));
  module_cache = module.release();
  return Ref::borrow(module_cache);
}

}  // namespace
}  // namespace pairfuse::python

PyMODINIT_FUNC PyInit__native() { return pairfuse::python::call_boundary(pairfuse::python::init_module); }
