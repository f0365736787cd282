// How one engine call ended, for the native tests and the fuzz targets alike:
// its value, or its fatal error's message, or out of memory; and the log
// records it wrote, when they were captured. Two engines agree when their
// outcomes are equal. Needs no test framework.
#pragma once

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "concurrent/engine.hpp"
#include "core/engine.hpp"
#include "fatal.hpp"
#include "types.hpp"

namespace pairfuse::testing {

template <typename T>
struct Outcome {
  std::optional<T> value;
  std::optional<std::string> fatal;
  bool out_of_memory = false;
  std::vector<std::string> records;  // "LEVEL target: message", when captured

  bool ok() const { return value.has_value(); }
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

template <typename T>
Outcome<T> success(T value) {
  Outcome<T> out;
  out.value = std::move(value);
  return out;
}

template <typename Fn>
auto outcome_of(Fn&& fn) -> Outcome<decltype(fn())> {
  Outcome<decltype(fn())> out;
  try {
    out.value = fn();
  } catch (const FatalError& e) {
    out.fatal = e.message();
  } catch (const std::bad_alloc&) {
    out.out_of_memory = true;
  } catch (const std::length_error&) {
    // The module reports both as MemoryError.
    out.out_of_memory = true;
  }
  return out;
}

// The same ending with the value (if any) passed through `fn`.
template <typename T, typename Fn>
auto map_outcome(const Outcome<T>& o, Fn&& fn) -> Outcome<decltype(fn(*o.value))> {
  Outcome<decltype(fn(*o.value))> out;
  if (o.value) out.value = fn(*o.value);
  out.fatal = o.fatal;
  out.out_of_memory = o.out_of_memory;
  out.records = o.records;
  return out;
}

// One-line renderings. A table reads "(1, 2) -> 4; (4, 3) -> 5", in table order.
inline std::string describe(const MergeTable& table) {
  std::vector<std::string> parts;
  for (const auto& [pair, id] : table) parts.push_back(fmt::format("{} -> {}", pair, id));
  return fmt::format("{}", fmt::join(parts, "; "));
}
inline std::string describe(const UnitSeq& units) { return fmt::format("{}", units); }
inline std::string describe(const std::vector<UnitSeq>& list) { return fmt::format("{}", list); }
inline std::string describe(const UnitBatch& batch) { return fmt::format("{}", batch); }
inline std::string describe(const core::FitResult& r) {
  return fmt::format("{} with {{{}}}", describe(r.units), describe(r.merges));
}
inline std::string describe(const concurrent::FitConcurrentResult& r) {
  return fmt::format("{} with {{{}}}", describe(r.units_list), describe(r.merges));
}
template <typename T>
std::string describe(const Outcome<T>& o) {
  if (o.fatal) return fmt::format("fatal error \"{}\"", *o.fatal);
  if (o.out_of_memory) return "out of memory";
  return describe(*o.value);
}

}  // namespace pairfuse::testing
