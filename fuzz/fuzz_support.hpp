// Shared by the fuzz targets: outcomes of engine calls, input builders that
// favour the values where engines go wrong, an independent model of decoding,
// and checks that stop the run with a readable report.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "reference/literal_concurrent.hpp"
#include "reference/literal.hpp"
#include "fatal.hpp"
#include "support/outcome.hpp"
#include "types.hpp"

namespace pairfuse::fuzz {

// ---------------------------------------------------------------- outcomes

using testing::describe;
using testing::map_outcome;
using testing::Outcome;
using testing::outcome_of;
using testing::success;

// Stops the run: libFuzzer saves the input as a crash file for replay.
[[noreturn]] inline void fail(const std::string& what) {
  std::fputs(fmt::format("\n*** pairfuse fuzz check failed: {}\n", what).c_str(), stderr);
  std::fflush(stderr);
  std::abort();
}

template <typename T>
void require_same(const char* what, const Outcome<T>& expected, const Outcome<T>& actual, const std::string& input) {
  if (!(expected == actual)) {
    fail(fmt::format("{}\n  input:    {}\n  expected: {}\n  actual:   {}", what, input, describe(expected),
                     describe(actual)));
  }
}

inline void require(bool condition, const std::string& what) {
  if (!condition) fail(what);
}

// ---------------------------------------------------------------- inputs

// Families of unit values. Small alphabets repeat pairs (many merges, runs of
// one unit); the ends of the 32-bit range make new ids overflow and test
// signed comparisons; the wide family is anything at all.
enum class Palette : std::uint8_t { tiny, bytes, near_max, near_min, mixed_extremes, wide, kCount };

inline Palette consume_palette(FuzzedDataProvider& in) {
  return static_cast<Palette>(in.ConsumeIntegralInRange<int>(0, static_cast<int>(Palette::kCount) - 1));
}

inline Unit consume_unit(FuzzedDataProvider& in, Palette palette) {
  constexpr Unit kMin = std::numeric_limits<Unit>::min();
  switch (palette) {
    case Palette::tiny:
      return in.ConsumeIntegralInRange<Unit>(0, 3);
    case Palette::bytes:
      return in.ConsumeIntegralInRange<Unit>(0, 255);
    case Palette::near_max:
      return kMaxUnit - in.ConsumeIntegralInRange<Unit>(0, 5);
    case Palette::near_min:
      return kMin + in.ConsumeIntegralInRange<Unit>(0, 5);
    case Palette::mixed_extremes: {
      static constexpr Unit kValues[] = {kMin, kMin + 1, -2, -1, 0, 1, 2, kMaxUnit - 1, kMaxUnit};
      return kValues[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kValues) - 1)];
    }
    case Palette::wide:
    case Palette::kCount:
      break;
  }
  return in.ConsumeIntegral<Unit>();
}

inline UnitSeq consume_seq(FuzzedDataProvider& in, Palette palette, std::size_t max_length) {
  const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, max_length);
  UnitSeq units;
  units.reserve(length);
  for (std::size_t i = 0; i < length && in.remaining_bytes() > 0; ++i) units.push_back(consume_unit(in, palette));
  return units;
}

// A list of sequences in which repeats are common (batch encoders cache them).
inline std::vector<UnitSeq> consume_seq_list(FuzzedDataProvider& in, Palette palette, std::size_t max_count,
                                             std::size_t max_length) {
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, max_count);
  std::vector<UnitSeq> list;
  for (std::size_t k = 0; k < count; ++k) {
    if (!list.empty() && in.ConsumeIntegralInRange<int>(0, 3) == 0) {
      list.push_back(list[in.ConsumeIntegralInRange<std::size_t>(0, list.size() - 1)]);
    } else {
      list.push_back(consume_seq(in, palette, max_length));
    }
  }
  return list;
}

inline std::size_t distinct_units(const std::vector<UnitSeq>& list) {
  absl::flat_hash_set<Unit> seen;
  for (const UnitSeq& units : list) seen.insert(units.begin(), units.end());
  return seen.size();
}

// A training target around the interesting boundary: below or at the
// number of distinct units (an error), just above it, or anything.
inline std::uint64_t consume_target(FuzzedDataProvider& in, std::size_t distinct) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return in.ConsumeIntegralInRange<std::uint64_t>(0, distinct);
    case 1:
      return in.ConsumeIntegral<std::uint64_t>();
    default:
      return distinct + in.ConsumeIntegralInRange<std::uint64_t>(1, 48);
  }
}

// A merge table built the way the module builds one from a merge list: in
// list order, a repeated pair keeping its last id.
inline MergeTable table_from(const std::vector<MergeTable::Entry>& entries) {
  MergeTable table;
  table.reserve(entries.size());
  for (const auto& [pair, id] : entries) table.insert_or_assign(pair, id);
  return table;
}

// ---------------------------------------------------------------- decoding model

// Decoding as a caller would describe it, written independently of the
// engines: each id of the table stands for the last pair given for it; a token
// is expanded recursively; a token whose expansion never ends (it reaches a
// cycle) makes the call fail naming the first such token of the input.
class DecodeModel {
 public:
  static constexpr std::uint64_t kUnbounded = std::numeric_limits<std::uint64_t>::max();

  explicit DecodeModel(const MergeTable& table) {
    for (const auto& [pair, id] : table) pair_of_[id] = pair;
    // Fixpoint: an id is finite once both members are finite (a member that is
    // no id is a single unit). Whatever never becomes finite reaches a cycle.
    bool changed = true;
    while (changed) {
      changed = false;
      for (const auto& [id, pair] : pair_of_) {
        if (length_.contains(id)) continue;
        const auto left = member_length(pair.left);
        const auto right = member_length(pair.right);
        if (left && right) {
          length_[id] = *left > kUnbounded - *right ? kUnbounded : *left + *right;
          changed = true;
        }
      }
    }
  }

  bool is_id(Unit unit) const { return pair_of_.contains(unit); }
  bool ids_distinct(const MergeTable& table) const { return pair_of_.size() == table.size(); }

  // Nothing when the token expands forever; else its expanded length (saturated).
  std::optional<std::uint64_t> member_length(Unit unit) const {
    if (!pair_of_.contains(unit)) return 1;
    auto it = length_.find(unit);
    if (it == length_.end()) return std::nullopt;
    return it->second;
  }

  std::optional<Unit> first_endless_token(const std::vector<UnitSeq>& list) const {
    for (const UnitSeq& units : list)
      for (Unit unit : units)
        if (!member_length(unit)) return unit;
    return std::nullopt;
  }

  std::uint64_t expanded_length(const std::vector<UnitSeq>& list) const {
    std::uint64_t total = 0;
    for (const UnitSeq& units : list)
      for (Unit unit : units) {
        const std::uint64_t n = member_length(unit).value_or(kUnbounded);
        total = total > kUnbounded - n ? kUnbounded : total + n;
      }
    return total;
  }

  static std::string cycle_message(Unit token) {
    return fmt::format("Merge table has a cycle: token {} expands into itself.", token);
  }

  // What decoding `list` must give: the expansion, or the cycle error. The
  // caller has checked that the expansion is of a size worth building.
  Outcome<std::vector<UnitSeq>> decode(const std::vector<UnitSeq>& list) const {
    Outcome<std::vector<UnitSeq>> out;
    if (auto token = first_endless_token(list)) {
      out.fatal = cycle_message(*token);
      return out;
    }
    std::vector<UnitSeq> result;
    for (const UnitSeq& units : list) {
      UnitSeq expanded;
      for (Unit unit : units) append_expansion(unit, expanded);
      result.push_back(std::move(expanded));
    }
    out.value = std::move(result);
    return out;
  }

 private:
  void append_expansion(Unit unit, UnitSeq& out) const {
    std::vector<Unit> stack{unit};
    while (!stack.empty()) {
      const Unit top = stack.back();
      stack.pop_back();
      auto it = pair_of_.find(top);
      if (it == pair_of_.end()) {
        out.push_back(top);
      } else {
        stack.push_back(it->second.right);
        stack.push_back(it->second.left);
      }
    }
  }

  absl::flat_hash_map<Unit, UnitPair> pair_of_;
  absl::flat_hash_map<Unit, std::uint64_t> length_;
};

// Decoding can legitimately grow exponentially with the depth of the table
// ((0, 0) -> 1, (1, 1) -> 2, ... makes one token 2^k units). Such results are
// what the caller asked for, so the targets only decode when the model says
// the result stays below this many units.
inline constexpr std::uint64_t kDecodeLimit = 1 << 16;

}  // namespace pairfuse::fuzz
