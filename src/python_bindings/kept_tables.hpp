// Prepared merge tables kept between calls, so that a call with a merge list
// seen before costs what its input costs, not what the table costs.
//
// Soundness: a merge list is mutable and Python reuses the addresses of
// freed objects, so neither the list nor an address identifies a table. A
// kept table holds references to the entries it was read from, and is used
// again only for a list (or tuple) holding exactly those entry objects in the
// same order. Only plain lists are kept: an exact list or tuple of exact
// ((int, int), int) tuples of exact ints, all immutable, so the same objects
// always stand for the same content. Anything else (a subclass, an __index__
// object, a bool) is read as on every call and never kept.
//
// Bounds: tables of fewer than kKeepMinimum entries are never kept (preparing
// them costs about what finding them would), so no reference to a small
// argument outlives its call. At most kMaxKept tables and kMaxKeptBytes of
// prepared forms are kept; the least recently used goes first, and on
// CPython a table whose entries only the cache still holds (the caller let
// its list go) goes at the next call.
//
// Threads: the cache is only touched with the interpreter lock held. A call
// keeps its own reference to the prepared table, so a table evicted by
// another thread while the engine runs without the lock stays alive until
// that call ends.
//
// Performance notes (December 2026, the 2-core development VM, 29,828
// merges): finding a kept table compares the list's item pointers with the
// kept ones, one memcmp of 240 KB, about 3 us on CPython; PyPy runs the same
// identity check in the bulk reading helper, which its JIT compiles.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>

#include "core/prepared_table.hpp"

namespace pairfuse::python {

using SharedTable = std::shared_ptr<const core::PreparedTable>;

inline constexpr std::size_t kKeepMinimum = 128;
inline constexpr std::size_t kMaxKept = 8;
inline constexpr std::size_t kMaxKeptBytes = std::size_t{256} << 20;

// The prepared table of a `merges` argument: a kept one when the argument
// holds exactly the entries of one, else read as a merge list (the
// conversion's rules, errors and their order) and prepared, and kept when it
// is plain and large enough.
SharedTable prepared_table(PyObject* merges);

}  // namespace pairfuse::python
