// The literal engine: every step recounts the whole sequence and rewrites it.
//
// It follows the definitions word for word and is kept as the reference the
// faster engine is tested against. Cost: training is (length x merges),
// encoding up to quadratic in the length, decoding (passes x output length).
#pragma once

#include <cstdint>

#include "core/inverse_table.hpp"
#include "types.hpp"

namespace pairfuse::core {

struct FitResult {
  UnitSeq units;
  MergeTable merges;
  friend bool operator==(const FitResult&, const FitResult&) = default;
};

namespace literal {

FitResult fit(UnitSeq units, std::uint64_t target_vocab_size);
UnitSeq encode(UnitSeq units, const MergeTable& merges);
UnitSeq decode(UnitSeq units, const MergeTable& merges);

// Pass-by-pass expansion; the caller has checked that no token reaches a cycle.
UnitSeq expand(UnitSeq units, const InverseTable& inverse);

}  // namespace literal
}  // namespace pairfuse::core
