// The extension module `pairfuse_tokenizer._native`: the native half of
// pairfuse_tokenizer.Tokenizer. A prepared merge table travels to Python as a
// capsule owning its shared_ptr, so a call holds the table for as long as
// the engine uses it. Arguments convert with pairfuse's own rules and errors
// (the same binding layer); results are raw int32 and int64 buffers
// (result_buffer.hpp) that the Python half wraps as arrays, never lists of ints. Every engine call runs
// with the interpreter lock released.
#include <Python.h>

#include <algorithm>
#include <array>
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
#include "python_bindings/function_table.hpp"
#include "python_bindings/build_results.hpp"
#include "python_bindings/handle.hpp"
#include "python_bindings/kept_tables.hpp"
#include "python_bindings/lock_released.hpp"
#include "python_bindings/logger_observer.hpp"
#include "python_bindings/module_creation.hpp"
#include "core/distinct_counter.hpp"
#include "python_bindings/result_buffer.hpp"
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
  core::TrainingLimits limits;
  core::DistinctCounter counter;
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

using SequenceEngine = UnitSeq (*)(UnitSeq, const core::PreparedTable&);
using BatchEngine = UnitBatch (*)(UnitBatch, const core::PreparedTable&);

Ref apply_to_sequence(SequenceEngine engine, const char* parameter, PyObject* table_arg, PyObject* units_arg) {
  const SharedTable table = table_of(table_arg);
  UnitSeq units = convert_argument(parameter, to_unit_seq, units_arg);
  UnitSeq result = run_engine(EngineLock::kReleased, [&] { return engine(std::move(units), *table); });
  return result_buffer(std::move(result));
}

Ref apply_to_batch(BatchEngine engine, PyObject* table_arg, PyObject* batch_arg) {
  const SharedTable table = table_of(table_arg);
  UnitBatch batch = convert_argument("batch", to_unit_seq_list, batch_arg);
  UnitBatch result = run_engine(EngineLock::kReleased, [&] { return engine(std::move(batch), *table); });
  return batch_buffers(std::move(result));
}

Ref encode(PyObject* table, PyObject* units) { return apply_to_sequence(core::encode, "units", table, units); }
Ref decode(PyObject* table, PyObject* tokens) { return apply_to_sequence(core::decode, "tokens", table, tokens); }
Ref encode_batch(PyObject* table, PyObject* batch) {
  return apply_to_batch(concurrent::encode_concurrent, table, batch);
}
Ref decode_batch(PyObject* table, PyObject* batch) {
  return apply_to_batch(concurrent::decode_concurrent, table, batch);
}

Ref prepare(const std::array<PyObject*, 1>& arguments) {
  PyObject* merges = arguments[0];
  return table_capsule(convert_argument("merges", prepared_table, merges));
}

Ref merge_list(const std::array<PyObject*, 1>& arguments) {
  const SharedTable table = table_of(arguments[0]);
  MergeTable merges;
  merges.reserve(table->size());
  for (const MergeTable::Entry& entry : table->entries()) merges.insert_or_assign(entry.pair, entry.id);
  return to_merge_list(merges);
}

Ref expand(PyObject* table_arg, PyObject* token_arg) {
  const SharedTable table = table_of(table_arg);
  const Unit token = convert_argument("token", to_unit, token_arg);
  UnitSeq units = run_engine(EngineLock::kReleased, [&] { return core::decode(UnitSeq{token}, *table); });
  return result_buffer(std::move(units));
}

// Starts a training: vocab_size and max_token_length are read first, so a
// bad one fails before any of the stream is.
Ref start_training(const std::array<PyObject*, 2>& arguments) {
  PyObject* size_arg = arguments[0];
  PyObject* length_arg = arguments[1] != nullptr ? arguments[1] : Py_None;
  auto training = std::make_unique<Training>();
  training->vocab_size = convert_argument("vocab_size", to_size, size_arg);
  training->limits = convert_argument("max_token_length", to_training_limits, length_arg);
  Ref capsule = require_result(PyCapsule_New(training.get(), kCounterCapsule, [](PyObject* c) {
    delete_capsule_content<Training>(c, kCounterCapsule);
  }));
  training.release();
  return capsule;
}

// Counts one chunk of the stream (a list of sequences); converted as
// fit_concurrent_py converts its units_list, with the same errors.
Ref count(PyObject* training_arg, PyObject* chunk_arg) {
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
Ref train(PyObject* training_arg, PyObject* progress_arg) {
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
                                               &progress, training.limits);
  }
  return table_capsule(std::make_shared<const core::PreparedTable>(merges));
}

// ---------------------------------------------------------------- module

constexpr std::array<Function, 7> kFunctions = {{
    {"encode", {"table", "units"}, encode, "The tokens, as int32 bytes."},
    {"decode", {"table", "tokens"}, decode, "The units, as int32 bytes."},
    {"expand", {"table", "token"}, expand, "The token's units, as int32 bytes."},
    {"encode_batch", {"table", "batch"}, encode_batch, "(int32 values, int64 offsets) bytes of the encoded batch."},
    {"decode_batch", {"table", "batch"}, decode_batch, "(int32 values, int64 offsets) bytes of the decoded batch."},
    {"count", {"training", "chunk"}, count, "Counts a list of sequences; returns the number of distinct ones so far."},
    {"train", {"training", "progress"}, train, "Trains over the counted sequences; returns the prepared table."},
}};
constexpr std::array<ParsedFunction<1>, 2> kTableFunctions = {{
    {"prepare", {"merges"}, 1, {nullptr}, prepare, "The prepared table of a merge list."},
    {"merges", {"table"}, 1, {nullptr}, merge_list, "The table's merge list, in its order."},
}};
constexpr std::array<ParsedFunction<2>, 1> kTrainingFunctions = {{
    {"start_training", {"vocab_size", "max_token_length"}, 1, {nullptr, "None"}, start_training,
     "A counter of distinct sequences for one training."},
}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pairfuse_tokenizer._native",                                   // m_name
    "The native half of pairfuse_tokenizer, on pairfuse's engine.",  // m_doc
    0,                                                              // m_size
    nullptr,                                                        // m_methods: added by create_module
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* module_cache = nullptr;

void add_attributes(PyObject* module) {
  ready_result_buffer_type();
  add_panic_exception(module);
}

Ref init_module() {
  static auto functions = [] {
    const auto core_functions = method_defs<kFunctions>();
    const auto table_functions = method_defs<kTableFunctions>();
    const auto training_functions = method_defs<kTrainingFunctions>();
    std::array<PyMethodDef, 10> all{};
    auto out = std::copy(table_functions.begin(), table_functions.end(), all.begin());
    out = std::copy(core_functions.begin(), core_functions.end(), out);
    std::copy(training_functions.begin(), training_functions.end(), out);
    return all;
  }();
  return create_module(
      {.definition = module_def, .functions = functions, .add_attributes = add_attributes, .created = module_cache});
}

}  // namespace
}  // namespace pairfuse::python

PyMODINIT_FUNC PyInit__native() { return pairfuse::python::call_boundary(pairfuse::python::init_module); }
