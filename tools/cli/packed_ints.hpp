// Arrays of fixed-width binary integers, as raw files and .npy files hold
// them, turned into units.
#pragma once

#include <cstddef>
#include <string_view>

#include "types.hpp"

namespace pairfuse::cli {

struct PackedInts {
  std::string_view bytes;  // a whole number of elements
  std::size_t width = 4;   // bytes per element: 1, 2, 4 or 8
  bool is_signed = true;
  bool big_endian = false;
};

// One unit per element, in huge pages when big (reserve_units). Throws Error
// naming `name` and the element's index for a value outside the signed
// 32-bit range.
UnitSeq units_of(const PackedInts& ints, std::string_view name);

}  // namespace pairfuse::cli
