// Prints the worker pool's size as the engine sizes it from the environment,
// then the number of processors available: "<pool size> <available>". Run by
// tests/hostile to check RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS end to end.
#include <cstdio>

#include "concurrent/pool.hpp"

int main() {
  std::printf("%zu %zu\n", pairfuse::concurrent::worker_pool_size(), pairfuse::concurrent::available_processors());
  return 0;
}
