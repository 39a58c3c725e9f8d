#include "module/exceptions.hpp"

#include <cstdlib>  // for abort

#include "base/platform.hpp"

namespace peakforge::py {
namespace {

constexpr const char panic_exception_doc[] =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

PyObject* panic_type = nullptr;  // lives for the rest of the process

void write_text(const std::string& text) { platform::write_stderr(text.data(), text.size()); }

// str(exception) as UTF-8, or nothing if it cannot be had.
bool exception_text(PyObject* exception, std::string& text) {
  Ref str(PyObject_Str(exception));
  if (!str) return false;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &size);
  if (utf8 == nullptr) return false;
  text.assign(utf8, static_cast<size_t>(size));
  return true;
}

}  // namespace

PyObject* panic_exception_type() {
  // Creation runs with the interpreter lock held, which serialises it.
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_exception_doc,
                                           PyExc_BaseException, nullptr);
  }
  return panic_type;
}

void raise_panic(const std::string& message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the creation failure stays the current exception
  Ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

void throw_pending() {
  PyObject* exception = PyErr_GetRaisedException();
  if (exception == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    throw ErrorSet{};
  }
  if (panic_type != nullptr && Py_TYPE(exception) == reinterpret_cast<PyTypeObject*>(panic_type)) {
    std::string message;
    if (!exception_text(exception, message)) {
      PyErr_Clear();
      message = "Unwrapped panic from Python code";
    }
    write_text(
        "--- peakforge is resuming a panic after fetching a PanicException from Python. ---\n");
    write_text("Python stack trace below:\n");
    PyErr_SetRaisedException(exception);  // steals
    PyErr_PrintEx(0);
    resume_panic(std::move(message));
  }
  PyErr_SetRaisedException(exception);  // steals
  throw ErrorSet{};
}

void throw_error(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw ErrorSet{};
}

void abort_uncaught() {
  write_panic_diagnostic("uncaught panic at ffi boundary", std::source_location::current());
  std::abort();
}

}  // namespace peakforge::py
