#include "module/result.hpp"

namespace peakforge::py {

Ref created(PyObject* object, std::source_location where) {
  if (object == nullptr) {
    PyErr_Print();
    panic("Python API call failed", where);
  }
  return Ref(object);
}

}  // namespace peakforge::py
