// The sequential engine as the rest of the system calls it.
#pragma once

#include <cstdint>

#include "core/training_limits.hpp"
#include "core/training_records.hpp"
#include "types.hpp"

namespace pairfuse::core {

class PreparedTable;

struct FitResult {
  UnitSeq units;
  MergeTable merges;
  friend bool operator==(const FitResult&, const FitResult&) = default;
};

// Learns merges over one sequence until `target_vocab_size` is reached or no
// pair is left (that `limits` allows). Fatal errors: no units; a target not
// above the number of distinct units; no 32-bit id left for a merge.
// Progress goes to the log and, when given, to `observer`.
FitResult fit(UnitSeq units, std::uint64_t target_vocab_size, TrainingObserver* observer = nullptr,
              TrainingLimits limits = {});

// Applies the lowest-ranked (lowest id) pair present, at all its occurrences,
// until the lowest-ranked pair present is not in the table.
UnitSeq encode(UnitSeq units, const PreparedTable& table);
UnitSeq encode(UnitSeq units, const MergeTable& merges);

// Expands every token that is an id of the table, recursively. Fatal error
// when a token's expansion reaches a cycle of the table.
UnitSeq decode(UnitSeq units, const PreparedTable& table);
UnitSeq decode(UnitSeq units, const MergeTable& merges);

}  // namespace pairfuse::core
