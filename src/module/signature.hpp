// A function's signature, declared once: its name and, in order, each
// parameter's name and conversion rule. Matching, the parameter names in
// conversion messages and the doc string that gives __text_signature__ are
// all derived from it, so they cannot disagree.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <utility>  // for index_sequence

#include "module/convert.hpp"
#include "module/matching.hpp"

namespace peakforge::py {

template <class Value>
struct Parameter {
  const char* name;
  Value (*convert)(PyObject*);
};
template <class Value>
Parameter(const char*, Value (*)(PyObject*)) -> Parameter<Value>;

template <class... Values>
struct Signature {
  constexpr explicit Signature(const char* function, Parameter<Values>... each)
      : name(function), names{each.name...}, parameters{each...} {}

  const char* name;  // without "()"
  std::array<const char*, sizeof...(Values)> names;
  std::tuple<Parameter<Values>...> parameters;
};

// Matches the call's arguments and converts every one, in declaration order
// (the first failure ends the call), into the values the signature declares.
template <class... Values>
std::tuple<Values...> convert_arguments(const Signature<Values...>& signature,
                                        PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  std::array<PyObject*, sizeof...(Values)> slots;
  match_arguments(signature.name, signature.names, args, nargs, kwnames, slots.data());
  return [&]<size_t... I>(std::index_sequence<I...>) {
    // The elements of a braced list are evaluated from left to right.
    return std::tuple<Values...>{argument(std::get<I>(signature.parameters).name, slots[I],
                                          std::get<I>(signature.parameters).convert)...};
  }(std::index_sequence_for<Values...>{});
}

// Writes "name(a, b)\n--\n\n" to `out` (when not null) and returns its length.
template <class... Values>
constexpr size_t write_signature_doc(const Signature<Values...>& signature, char* out) {
  size_t length = 0;
  const auto append = [&](std::string_view text) {
    for (const char c : text) {
      if (out != nullptr) out[length] = c;
      ++length;
    }
  };
  append(signature.name);
  append("(");
  for (size_t i = 0; i < signature.names.size(); ++i) {
    if (i > 0) append(", ");
    append(signature.names[i]);
  }
  append(")\n--\n\n");
  return length;
}

// The function's doc string, NUL-terminated: the interpreter shows the
// parenthesised list as __text_signature__ and leaves __doc__ None.
template <const auto& signature>
inline constexpr auto signature_doc = [] {
  std::array<char, write_signature_doc(signature, nullptr) + 1> text{};
  write_signature_doc(signature, text.data());
  return text;
}();

}  // namespace peakforge::py
