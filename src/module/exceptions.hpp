// Turning failures into exactly one raised Python exception.
//
// Inside a call, two kinds of failure unwind to the entry wrapper as C++
// exceptions: ErrorSet (the interpreter's error indicator holds the exception
// to raise) and InternalFailure (panic.hpp; raised as PanicException).
#pragma once

#include <new>        // for bad_alloc
#include <stdexcept>  // for length_error
#include <string>

#include "base/panic.hpp"
#include "module/python.hpp"

namespace peakforge::py {

// The interpreter's error indicator is set; the call is unwinding.
struct ErrorSet {};

// Takes the exception an interpreter call left pending and unwinds with it.
// A PanicException coming back from Python code is resumed as an internal
// failure instead; with nothing pending, SystemError stands in.
[[noreturn]] void throw_pending();

// Sets `type` with `message` and unwinds.
[[noreturn]] void throw_error(PyObject* type, const char* message);

// pyo3_runtime.PanicException, created on first use; null with an exception
// set if it cannot be created.
PyObject* panic_exception_type();

// Makes a PanicException carrying `message` the current exception.
void raise_panic(const std::string& message);

// Writes the diagnostic of a failure that escapes the wrapper and ends the
// process.
[[noreturn]] void abort_uncaught();

// The common entry wrapper: runs `body` with every failure caught and turns
// it into one raised exception. Returns the body's result or null.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    PyObject* result = body();
    if (result == nullptr && !PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return result;
  } catch (const ErrorSet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const InternalFailure& failure) {
    raise_panic(failure.message);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (...) {
    abort_uncaught();
  }
  return nullptr;
}

}  // namespace peakforge::py
