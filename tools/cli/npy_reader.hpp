// NumPy's .npy files of one-dimensional integer arrays.
//
// A file is the magic "\x93NUMPY", a version (1.0, 2.0 or 3.0), the length
// of a header, the header (a Python dict literal giving 'descr', the dtype;
// 'fortran_order'; 'shape'), and the elements back to back.
#pragma once

#include <string_view>

#include "packed_ints.hpp"

namespace pairfuse::cli {

// The elements of the array `file` holds: a view into `file`. Throws Error
// naming `name` for anything but a whole 1-D array of 1-, 2-, 4- or 8-byte
// integers, signed or unsigned, in either byte order.
PackedInts read_npy(std::string_view file, std::string_view name);

}  // namespace pairfuse::cli
