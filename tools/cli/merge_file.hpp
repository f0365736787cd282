// The merge file: JSON holding a list of [[left, right], id] in learning
// order, the shape of the merge list the Python module returns, so
//   merges = [((l, r), i) for (l, r), i in json.load(f)]
// turns it back into an argument for encode_py and decode_py.
#pragma once

#include <string>
#include <string_view>

#include "types.hpp"

namespace pairfuse::cli {

std::string format_merge_file(const MergeTable& merges);

// Entries go into the table in file order, so a repeated pair keeps its
// first position and its last id. Throws Error "NAME:LINE:COLUMN: what" for
// anything but that exact shape with integers in the signed 32-bit range.
MergeTable parse_merge_file(std::string_view text, std::string_view name);

}  // namespace pairfuse::cli
