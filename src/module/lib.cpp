// The peakforge module: its definition, function table and entries, and the
// single exported initialisation entry.
#include <atomic>
#include <cstdint>

#include "module/calls.hpp"
#include "module/convert.hpp"
#include "module/exceptions.hpp"

namespace peakforge::py {
namespace {

// In this order the functions are added to the module and to __all__.
const FunctionRow* const function_table[] = {
    &get_unique_families_rust_function,  &generate_hkl_points_function,
    &calculate_xrd_intensities_function, &merge_peaks_function,
    &normalize_intensities_function,
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "peakforge",  // m_name
    "",           // m_doc: __doc__ is the empty string
    0,            // m_size: no per-module state
    nullptr,      // m_methods: added by the initialiser
    nullptr,      // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

// The first interpreter to import the module owns it; others are refused.
std::atomic<int64_t> owning_interpreter{-1};
// The module, once built; never released.
std::atomic<PyObject*> module_cell{nullptr};

PyObject* interned(const char* text, PyObject*& cache) {
  if (cache == nullptr) cache = PyUnicode_InternFromString(text);
  if (cache == nullptr) throw_pending();
  return cache;
}

// Adds one function to the module and its name to __all__.
void add_function(PyObject* module, const FunctionRow& row) {
  static PyObject* name_attribute = nullptr;
  static PyObject* all_attribute = nullptr;
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) throw_pending();
  // The interpreter keeps pointing at the record, so it is never freed.
  auto* record = new PyMethodDef{
      row.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(row.entry)),
      METH_FASTCALL | METH_KEYWORDS, row.doc};
  Ref function(PyCMethod_New(record, module, module_name.get(), nullptr));
  if (!function) throw_pending();

  Ref name(PyObject_GetAttr(function.get(), interned("__name__", name_attribute)));
  if (!name) throw_pending();
  if (!PyUnicode_Check(name.get())) throw_cannot_convert(name.get(), "PyString");

  PyObject* all_name = interned("__all__", all_attribute);
  Ref all(PyObject_GetAttr(module, all_name));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all) throw_pending();
    if (PyObject_SetAttr(module, all_name, all.get()) < 0) throw_pending();
  }
  if (!PyList_Check(all.get())) throw_cannot_convert(all.get(), "PyList");
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    panic("could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw_pending();
}

PyObject* initialise() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw_pending();
  int64_t expected = -1;
  if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    throw_error(PyExc_ImportError,
                "PyO3 modules do not yet support subinterpreters, see "
                "https://docs.python.org/3/c-api/init.html#sub-interpreter-support");
  }
  if (PyObject* module = module_cell.load()) return Py_NewRef(module);

  Ref module(PyModule_Create2(&module_definition, 1013));
  if (!module) throw_pending();
  for (const FunctionRow* row : function_table) add_function(module.get(), *row);

  PyObject* expected_module = nullptr;
  if (!module_cell.compare_exchange_strong(expected_module, module.get())) {
    return Py_NewRef(expected_module);  // another thread won; ours is released
  }
  module.release();  // the cell keeps this reference for the life of the process
  return Py_NewRef(module_cell.load());
}

}  // namespace
}  // namespace peakforge::py

PyMODINIT_FUNC PyInit_peakforge() { return peakforge::py::guarded(peakforge::py::initialise); }
