#include "python_bindings/functions.hpp"

#include <utility>

#include "concurrent/engine.hpp"
#include "core/engine.hpp"
#include "python_bindings/arguments.hpp"  // convert_argument
#include "python_bindings/build_results.hpp"
#include "python_bindings/kept_tables.hpp"
#include "python_bindings/read_values.hpp"

namespace pairfuse::python {

// The interpreter lock stays held through every engine call of the module's
// own functions: nothing here lets other threads in.

Ref fit_py(PyObject* units_arg, PyObject* size_arg) {
  UnitSeq units = convert_argument("units", to_unit_seq, units_arg);
  const std::uint64_t target = convert_argument("target_vocab_size", to_size, size_arg);
  const core::FitResult result = core::fit(std::move(units), target);
  Ref sequence = to_unit_list(result.units);
  return to_training_result(std::move(sequence), to_merge_list(result.merges));
}

Ref fit_concurrent_py(PyObject* units_list_arg, PyObject* size_arg) {
  UnitBatch units_list = convert_argument("units_list", to_unit_seq_list, units_list_arg);
  const std::uint64_t target = convert_argument("target_vocab_size", to_size, size_arg);
  const concurrent::FitGroupedResult result = concurrent::fit_concurrent_grouped(std::move(units_list), target);
  Ref sequences = to_unit_lists(result.units_list);
  return to_training_result(std::move(sequences), to_merge_list(result.merges));
}

Ref encode_py(PyObject* units_arg, PyObject* merges_arg) {
  UnitSeq units = convert_argument("units", to_unit_seq, units_arg);
  const SharedTable merges = convert_argument("merges", prepared_table, merges_arg);
  return to_unit_list(core::encode(std::move(units), *merges));
}

Ref encode_concurrent_py(PyObject* units_list_arg, PyObject* merges_arg) {
  return encode_batch(units_list_arg, merges_arg, EngineLock::kHeld);
}

Ref decode_py(PyObject* units_arg, PyObject* merges_arg) {
  UnitSeq units = convert_argument("units", to_unit_seq, units_arg);
  const SharedTable merges = convert_argument("merges", prepared_table, merges_arg);
  return to_unit_list(core::decode(std::move(units), *merges));
}

Ref decode_concurrent_py(PyObject* units_list_arg, PyObject* merges_arg) {
  return decode_batch(units_list_arg, merges_arg, EngineLock::kHeld);
}

namespace {

using BatchEngine = UnitBatch (*)(UnitBatch, const core::PreparedTable&);

// Converts units_list, then merges, runs `whole` (or, on PyPy, `each` over
// the distinct sequences) under `lock`, and converts the result back.
Ref apply_to_batch(PyObject* units_list_arg, PyObject* merges_arg, EngineLock lock, BatchEngine whole,
                   BatchEngine each) {
  UnitBatch units_list = convert_argument("units_list", to_unit_seq_list, units_list_arg);
  // Held until the engine is done, whatever another thread evicts meanwhile.
  const SharedTable merges = convert_argument("merges", prepared_table, merges_arg);
  auto running = [&](BatchEngine engine) {
    return [&, engine](UnitBatch batch) { return run_engine(lock, [&] { return engine(std::move(batch), *merges); }); };
  };
  return to_unit_lists_of(std::move(units_list), running(whole), running(each));
}

}  // namespace

Ref encode_batch(PyObject* units_list_arg, PyObject* merges_arg, EngineLock lock) {
  return apply_to_batch(units_list_arg, merges_arg, lock, static_cast<BatchEngine>(concurrent::encode_concurrent),
                        concurrent::encode_each_concurrent);
}

Ref decode_batch(PyObject* units_list_arg, PyObject* merges_arg, EngineLock lock) {
  return apply_to_batch(units_list_arg, merges_arg, lock, static_cast<BatchEngine>(concurrent::decode_concurrent),
                        concurrent::decode_each_concurrent);
}

}  // namespace pairfuse::python
