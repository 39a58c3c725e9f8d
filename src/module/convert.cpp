#include "module/convert.hpp"

#include <climits>  // for INT32_MIN, INT32_MAX
#include <cstring>  // for strcmp, memcpy
#include <span>

namespace peakforge::py {
namespace {

// True for NumPy's bool scalar type; lookup failures just mean "no".
bool is_numpy_bool(PyTypeObject* type) {
  Ref module(PyType_GetModuleName(type));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  if (PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  Ref name(PyType_GetName(type));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

void throw_cannot_convert(PyObject* object, const char* target) {
  Ref qualname(PyType_GetQualName(Py_TYPE(object)));
  if (!qualname) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "'<failed to extract type name>' object cannot be converted to '%s'", target);
  } else {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
                 target);
  }
  throw ErrorSet{};
}

double to_double_by_conversion(PyObject* object) {
  // An exact int takes the int conversion that PyFloat_AsDouble would call,
  // without its temporary float; anything else (bool, __float__, __index__)
  // goes through PyFloat_AsDouble itself.
  const double value =
      PyLong_CheckExact(object) ? PyLong_AsDouble(object) : PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw_pending();
  return value;
}

int32_t to_int32_by_conversion(PyObject* object) {
  const long value = PyLong_AsLong(object);
  if (value == -1 && PyErr_Occurred()) throw_pending();
  if (value < INT32_MIN || value > INT32_MAX) {
    throw_error(PyExc_OverflowError, "Python int too large to convert to C long");
  }
  return static_cast<int32_t>(value);
}

bool to_bool(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True;
  PyTypeObject* type = Py_TYPE(object);
  if (is_numpy_bool(type)) {
    PyNumberMethods* number = type->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                   reinterpret_cast<PyObject*>(type));
      throw ErrorSet{};
    }
    const int truth = number->nb_bool(object);
    if (truth < 0) throw_pending();
    return truth == 1;
  }
  throw_cannot_convert(object, "PyBool");
}

uint64_t to_count(PyObject* object) {
  Ref index;
  if (!PyLong_Check(object)) {
    index = Ref(PyNumber_Index(object));
    if (!index) throw_pending();
    object = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
  return value;
}

bool read_float64_array(PyObject* object, std::vector<double>& values) {
  // numpy.ndarray is a static type, so a class defined in Python (a heap
  // type) cannot pose as it by taking its name.
  PyTypeObject* type = Py_TYPE(object);
  if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0 ||
      std::strcmp(type->tp_name, "numpy.ndarray") != 0) {
    return false;
  }
  struct Buffer {  // released on every path, a failed allocation included
    Py_buffer view{};
    ~Buffer() { PyBuffer_Release(&view); }
  };
  Buffer buffer;
  if (PyObject_GetBuffer(object, &buffer.view, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();  // iteration gives the answer, or its own error
    return false;
  }
  const Py_buffer& view = buffer.view;
  if (view.ndim != 1 || view.itemsize != sizeof(double) || view.format == nullptr ||
      std::strcmp(view.format, "d") != 0) {
    return false;
  }
  const auto* item = static_cast<const char*>(view.buf);
  const size_t start = values.size();
  values.resize(start + static_cast<size_t>(view.shape[0]));
  for (double& value : std::span(values).subspan(start)) {
    std::memcpy(&value, item, sizeof(double));  // items need not be aligned
    item += view.strides[0];
  }
  return true;
}

void check_sequence(PyObject* object) {
  if (PyUnicode_Check(object)) throw_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) throw_cannot_convert(object, "Sequence");
}

void prefix_argument_name(const char* name) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) return;
  Ref original(raised);
  if (Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(original.release());
    return;
  }
  Ref message(PyUnicode_FromFormat("argument '%s': %S", name, raised));
  if (!message) return;  // the formatting failure is the exception now
  Ref renamed(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!renamed) return;
  // SetCause steals the cause and marks the context as suppressed.
  PyException_SetCause(renamed.get(), PyException_GetCause(raised));
  PyErr_SetRaisedException(renamed.release());
}

}  // namespace peakforge::py
