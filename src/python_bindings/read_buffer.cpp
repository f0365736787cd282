#include "python_bindings/read_buffer.hpp"

#include <bit>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>

#include "python_bindings/handle.hpp"
#include "python_bindings/held_buffer.hpp"

namespace pairfuse::python {
namespace {

// NumPy is never imported here: an ndarray can only exist once NumPy is. Its
// type is static, so a class of the caller's cannot pass for it by name.
bool is_exact_ndarray(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  return std::strcmp(type->tp_name, "numpy.ndarray") == 0 && !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE);
}

// array.array is a heap type that the C API does not expose: an object named
// so is one if its type is the one the loaded array module holds. Looked up
// each time, since re-importing the module makes a new type. PyPy names the
// type "array".
bool is_exact_array(PyObject* obj) {
  const char* name = Py_TYPE(obj)->tp_name;
  if (std::strcmp(name, "array.array") != 0 && std::strcmp(name, "array") != 0) return false;
  PyObject* module = PyDict_GetItemString(PyImport_GetModuleDict(), "array");
  if (module == nullptr || !PyModule_Check(module)) return false;
  PyObject* dict = PyModule_GetDict(module);
  PyObject* type = dict == nullptr ? nullptr : PyDict_GetItemString(dict, "array");
  return type == reinterpret_cast<PyObject*>(Py_TYPE(obj));
}

// An integer item as a struct format states it.
struct IntegerFormat {
  Py_ssize_t size;
  bool is_signed;
  bool swapped;  // stored in the other byte order than this machine's
};

// The integer format of a single item ("i", "<q", "@B", ...), or nothing.
// `native_only`: memoryview iterates only native items, so any other is left
// to iteration, which rejects it (NotImplementedError) as it always has.
std::optional<IntegerFormat> integer_format(const char* format, bool native_only) {
  if (format == nullptr) return std::nullopt;
  char order = '@';
  if (*format != '\0' && std::strchr("@=<>!", *format) != nullptr) order = *format++;
  if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
  const bool native = order == '@';
  if (native_only && !native) return std::nullopt;
  // Native sizes are the C types'; the others are struct's standard sizes.
  IntegerFormat result{};
  switch (format[0]) {
    case 'b': case 'B': result.size = 1; break;
    case 'h': case 'H': result.size = native ? sizeof(short) : 2; break;
    case 'i': case 'I': result.size = native ? sizeof(int) : 4; break;
    case 'l': case 'L': result.size = native ? sizeof(long) : 4; break;
    case 'q': case 'Q': result.size = native ? sizeof(long long) : 8; break;
    case 'n': case 'N':
      if (!native) return std::nullopt;
      result.size = sizeof(Py_ssize_t);
      break;
    default: return std::nullopt;
  }
  result.is_signed = std::islower(static_cast<unsigned char>(format[0])) != 0;
  const bool little = order == '<';
  const bool big = order == '>' || order == '!';
  result.swapped = (little && std::endian::native == std::endian::big) ||
                   (big && std::endian::native == std::endian::little);
  return result;
}

template <typename T>
T byteswap(T value) {
  using Unsigned = std::make_unsigned_t<T>;
  auto bits = static_cast<Unsigned>(value);
  if constexpr (sizeof(T) == 2) bits = __builtin_bswap16(bits);
  if constexpr (sizeof(T) == 4) bits = __builtin_bswap32(bits);
  if constexpr (sizeof(T) == 8) bits = __builtin_bswap64(bits);
  return static_cast<T>(bits);
}

// Appends the items as units; false at the first one outside 32 bits.
template <typename T>
bool copy_units(const Py_buffer& view, bool swapped, std::vector<Unit>& out) {
  const auto* base = static_cast<const char*>(view.buf);
  const Py_ssize_t count = view.shape[0];
  const Py_ssize_t stride = view.strides[0];
  const std::size_t first = out.size();
  out.resize(first + static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    T value;
    std::memcpy(&value, base + i * stride, sizeof value);
    if (swapped) value = byteswap(value);
    if (!std::in_range<Unit>(value)) return false;
    out[first + static_cast<std::size_t>(i)] = static_cast<Unit>(value);
  }
  return true;
}

bool copy_units(const Py_buffer& view, const IntegerFormat& format, std::vector<Unit>& out) {
  switch (format.size) {
    case 1: return format.is_signed ? copy_units<std::int8_t>(view, false, out) : copy_units<std::uint8_t>(view, false, out);
    case 2: return format.is_signed ? copy_units<std::int16_t>(view, format.swapped, out)
                                    : copy_units<std::uint16_t>(view, format.swapped, out);
    case 4: return format.is_signed ? copy_units<std::int32_t>(view, format.swapped, out)
                                    : copy_units<std::uint32_t>(view, format.swapped, out);
    case 8: return format.is_signed ? copy_units<std::int64_t>(view, format.swapped, out)
                                    : copy_units<std::uint64_t>(view, format.swapped, out);
    default: return false;
  }
}

}  // namespace

bool append_units_from_buffer(PyObject* obj, std::vector<Unit>& out) {
  const bool is_memoryview = PyMemoryView_Check(obj);
  if (!is_memoryview && !is_exact_ndarray(obj) && !is_exact_array(obj)) return false;
  // Holds nothing when `obj` gives no strided buffer with a format.
  const HeldBuffer buffer(obj, PyBUF_RECORDS_RO, HeldBuffer::IfRefused::kHoldNothing);
  if (!buffer) return false;
  const Py_buffer& view = buffer.view();
  if (view.ndim != 1 || view.shape == nullptr || view.strides == nullptr || view.suboffsets != nullptr) {
    return false;
  }
  const std::optional<IntegerFormat> format = integer_format(view.format, is_memoryview);
  if (!format || format->size != view.itemsize) return false;
  const std::size_t first = out.size();
  if (copy_units(view, *format, out)) return true;
  out.resize(first);
  return false;
}

}  // namespace pairfuse::python
