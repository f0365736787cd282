// Engine results handed to Python as raw bytes without a copy: on CPython a
// small object that owns the result's vector and exposes its memory through
// the buffer protocol (writable, format "B"), which numpy.frombuffer wraps
// as it is. On PyPy a bytes object, which array.array copies anyway.
//
// Performance notes (December 2026, the 2-core development VM, loaded): a
// batch of 300,000 words copied into a new bytearray touched 5 MB of fresh
// pages, about as long as the conversion of the batch itself; handing over
// the engine's own vectors costs nothing of the kind.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "python_bindings/handle.hpp"
#include "types.hpp"

namespace pairfuse::python {

// Readies the type; once, when the module is made.
void ready_result_buffer_type();

Ref result_buffer(std::vector<Unit> values);
Ref result_buffer(std::vector<std::size_t> offsets);

}  // namespace pairfuse::python
