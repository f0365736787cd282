#include "python_bindings/result_buffer.hpp"

#include <cstring>
#include <new>
#include <utility>
#include <variant>

namespace pairfuse::python {
namespace {

#ifndef PYPY_VERSION
using Held = std::variant<std::vector<Unit>, std::vector<std::size_t>>;

struct ResultBuffer {
  PyObject_HEAD
  Held held;
};

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  const Held& held = reinterpret_cast<ResultBuffer*>(self)->held;
  auto [data, bytes] = std::visit(
      [](const auto& values) {
        return std::pair{const_cast<void*>(static_cast<const void*>(values.data())),
                         values.size() * sizeof(values[0])};
      },
      held);
  return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(bytes), 0, flags);
}

// A heap type: each instance holds a reference to it.
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<ResultBuffer*>(self)->held.~Held();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(get_buffer)},
    {Py_tp_doc, const_cast<char*>("The bytes of one engine result, owned until the last view of them goes.")},
    {0, nullptr},
};

PyType_Spec type_spec = {"pairfuse_tokenizer._native.ResultBuffer", sizeof(ResultBuffer), 0, Py_TPFLAGS_DEFAULT, slots};

PyTypeObject* result_buffer_type = nullptr;

Ref make(Held held) {
  auto* object = PyObject_New(ResultBuffer, result_buffer_type);
  if (object == nullptr) return require_result(nullptr);
  new (&object->held) Held(std::move(held));
  return Ref::steal(reinterpret_cast<PyObject*>(object));
}
#else
template <typename T>
Ref make(const std::vector<T>& values) {
  const std::size_t size = values.size() * sizeof(T);
  Ref bytes = require_result(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (size != 0) std::memcpy(PyBytes_AS_STRING(bytes.get()), values.data(), size);
  return bytes;
}
#endif

}  // namespace

void ready_result_buffer_type() {
#ifndef PYPY_VERSION
  if (result_buffer_type == nullptr) {
    result_buffer_type = reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&type_spec)).release());
  }
#endif
}

Ref result_buffer(std::vector<Unit> values) { return make(std::move(values)); }
Ref result_buffer(std::vector<std::size_t> offsets) { return make(std::move(offsets)); }

}  // namespace pairfuse::python
