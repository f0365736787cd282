// A module's functions, each said once: its name, its parameters and its
// body. The function's method record comes from its entry in the table,
// with a documentation string that starts with the text signature
// ("name(a, b)\n--\n\n", which inspect.signature reads), and so does the
// binding of its arguments. Every function takes the fast-call-with-keywords
// convention and runs its body inside the call boundary.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>

#include "python_bindings/arguments.hpp"
#include "python_bindings/boundary.hpp"
#include "python_bindings/handle.hpp"

namespace pairfuse::python {

// Two required parameters, bound by bind_arguments; the body gets their values.
struct Function {
  const char* name;
  std::array<const char*, 2> parameters;
  Ref (*body)(PyObject* first, PyObject* second);
  // The documentation after the text signature.
  const char* summary = "";

  constexpr Signature signature() const { return {name, parameters}; }
};

// Parameters parsed by PyArg_ParseTupleAndKeywords, whose messages callers
// see: `required` positional-or-keyword ones, then keyword-only optional
// ones, which the body gets as null when they are left out.
template <std::size_t N>
struct ParsedFunction {
  const char* name;
  std::array<const char*, N> parameters;
  std::size_t required;
  // The text of each optional parameter's default, for the text signature.
  std::array<const char*, N> defaults;
  Ref (*body)(const std::array<PyObject*, N>& values);
  const char* summary = "";
};

namespace function_table_detail {

std::string text_signature(const Function& function);

template <std::size_t N>
std::string text_signature(const ParsedFunction<N>& function) {
  std::string text = std::string(function.name) + "(";
  for (std::size_t i = 0; i < N; ++i) {
    if (i > 0) text += ", ";
    if (i == function.required) text += "*, ";
    text += function.parameters[i];
    if (i >= function.required) text += std::string("=") + function.defaults[i];
  }
  return text + ")\n--\n\n";
}

// The call's positional values as a tuple and its keyword values as a dict
// (null without keywords), as METH_VARARGS | METH_KEYWORDS would get them.
std::pair<Ref, Ref> tuple_and_dict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The values of table[I]'s parameters; its format and keywords are made once.
template <const auto& table, std::size_t I>
auto parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr const auto& function = table[I];
  constexpr std::size_t N = function.parameters.size();
  static const std::string format =
      std::string(function.required, 'O') + "|$" + std::string(N - function.required, 'O') + ":" + function.name;
  static std::array<char*, N + 1> keywords = [&] {
    std::array<char*, N + 1> names{};
    for (std::size_t i = 0; i < N; ++i) names[i] = const_cast<char*>(function.parameters[i]);
    return names;
  }();
  const auto [tuple, dict] = tuple_and_dict(args, nargs, kwnames);
  std::array<PyObject*, N> values{};
  const bool parsed = [&]<std::size_t... K>(std::index_sequence<K...>) {
    return PyArg_ParseTupleAndKeywords(tuple.get(), dict.get(), format.c_str(), keywords.data(), &values[K]...) != 0;
  }(std::make_index_sequence<N>{});
  if (!parsed) throw_pending_error();
  return values;
}

template <const auto& table, std::size_t I>
PyObject* entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_boundary([&] {
    constexpr const auto& function = table[I];
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(function)>, Function>) {
      const auto [first, second] = bind_arguments(function.signature(), args, nargs, kwnames);
      return function.body(first, second);
    } else {
      return function.body(parse<table, I>(args, nargs, kwnames));
    }
  });
}

}  // namespace function_table_detail

// The method record of table[I]. Its documentation string is kept for the
// process, as the record must be: the function objects made from it are.
template <const auto& table, std::size_t I>
PyMethodDef method_def() {
  static const std::string documentation = function_table_detail::text_signature(table[I]) + table[I].summary;
  // METH_FASTCALL | METH_KEYWORDS entries have a different signature from
  // PyCFunction; the flags tell the interpreter which one it is.
  auto* entry = &function_table_detail::entry<table, I>;
  return {table[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
          METH_FASTCALL | METH_KEYWORDS, documentation.c_str()};
}

// The method records of the whole table, in its order.
template <const auto& table>
auto method_defs() {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<PyMethodDef, sizeof...(I)>{method_def<table, I>()...};
  }(std::make_index_sequence<table.size()>{});
}

}  // namespace pairfuse::python
