#include "concurrent/pool.hpp"

#include <sched.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <thread>

namespace pairfuse::concurrent {
namespace {

// A positive or zero integer in the strict form "[+]digits", or nothing.
std::optional<std::size_t> parse_count(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  std::string_view s = *text;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::size_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::size_t digit = static_cast<std::size_t>(c - '0');
    if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::string_view> env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

struct Pool {
  std::size_t size;
  // Lets the arena have more threads than the default limit (processors - 1 workers).
  tbb::global_control parallelism_limit;
  tbb::task_arena arena;

  explicit Pool(std::size_t threads)
      : size(threads),
        parallelism_limit(tbb::global_control::max_allowed_parallelism,
                          std::max<std::size_t>(threads, std::thread::hardware_concurrency())),
        arena(static_cast<int>(std::min<std::size_t>(threads, std::numeric_limits<int>::max()))) {}
};

Pool& pool() {
  // Created once and never destroyed: worker threads may outlive static destructors.
  static Pool* const instance = new Pool(
      thread_count_from(env("RAYON_NUM_THREADS"), env("RAYON_RS_NUM_CPUS"), available_processors()));
  return *instance;
}

}  // namespace

std::size_t thread_count_from(std::optional<std::string_view> num_threads,
                              std::optional<std::string_view> rs_num_cpus, std::size_t available) {
  if (auto n = parse_count(num_threads)) return *n > 0 ? *n : available;
  if (auto n = parse_count(rs_num_cpus); n && *n > 0) return *n;
  return available;
}

std::size_t available_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

tbb::task_arena& worker_pool() { return pool().arena; }
std::size_t worker_pool_size() { return pool().size; }

}  // namespace pairfuse::concurrent
