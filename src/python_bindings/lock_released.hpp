// The interpreter lock, released for a stretch of engine work that touches
// no Python object. `pairfuse` itself never does this (its calls keep the
// lock); the companion module pairfuse_dask._engine does, because a Dask
// worker's own threads must answer the scheduler and serve data to other
// workers while a task runs.
#pragma once

#include <Python.h>

namespace pairfuse::python {

class LockReleased {
 public:
  LockReleased() : state_(PyEval_SaveThread()) {}
  ~LockReleased() { PyEval_RestoreThread(state_); }
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;

  // Holds the lock again for its own lifetime.
  class Retaken {
   public:
    explicit Retaken(LockReleased& released) : released_(released) { PyEval_RestoreThread(released_.state_); }
    ~Retaken() { released_.state_ = PyEval_SaveThread(); }
    Retaken(const Retaken&) = delete;
    Retaken& operator=(const Retaken&) = delete;

   private:
    LockReleased& released_;
  };

 private:
  PyThreadState* state_;
};

enum class EngineLock { kHeld, kReleased };

// Runs `work`, holding the lock or not as `lock` says.
template <typename Work>
auto run_engine(EngineLock lock, Work&& work) {
  if (lock == EngineLock::kHeld) return work();
  LockReleased released;
  return work();
}

}  // namespace pairfuse::python
