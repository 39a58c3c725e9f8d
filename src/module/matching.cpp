#include "module/matching.hpp"

#include <cstring>  // for strlen, memcmp
#include <string>

#include "module/exceptions.hpp"

namespace peakforge::py {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(std::span<const char* const> parameters, PyObject* const* slots) {
  std::string text;
  size_t count = 0, total = 0;
  for (size_t i = 0; i < parameters.size(); ++i) total += slots[i] == nullptr;
  for (size_t i = 0; i < parameters.size(); ++i) {
    if (slots[i] != nullptr) continue;
    if (count > 0) {
      if (total > 2) text += ",";
      text += count + 1 == total ? " and " : " ";
    }
    text += "'";
    text += parameters[i];
    text += "'";
    ++count;
  }
  return text;
}

}  // namespace

void match_arguments(const char* function, std::span<const char* const> parameters,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  const size_t count = parameters.size();
  const size_t given = static_cast<size_t>(nargs);
  for (size_t i = 0; i < count; ++i) slots[i] = nullptr;
  if (given > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zu %s given", function,
                 count, given, given == 1 ? "was" : "were");
    throw ErrorSet{};
  }
  for (size_t i = 0; i < given; ++i) slots[i] = args[i];

  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      PyObject* name = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
      if (utf8 == nullptr) PyErr_Clear();
      size_t slot = count;
      for (size_t i = 0; utf8 != nullptr && i < count; ++i) {
        const char* parameter = parameters[i];
        if (std::strlen(parameter) == static_cast<size_t>(size) &&
            std::memcmp(parameter, utf8, static_cast<size_t>(size)) == 0) {
          slot = i;
          break;
        }
      }
      if (slot == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", function,
                     name);
        throw ErrorSet{};
      }
      if (slots[slot] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                     parameters[slot]);
        throw ErrorSet{};
      }
      slots[slot] = args[given + static_cast<size_t>(k)];
    }
  }

  size_t missing = 0;
  for (size_t i = 0; i < count; ++i) missing += slots[i] == nullptr;
  if (missing > 0) {
    const std::string names = quoted_list(parameters, slots);
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", function, missing,
                 missing == 1 ? "argument" : "arguments", names.c_str());
    throw ErrorSet{};
  }
}

}  // namespace peakforge::py
