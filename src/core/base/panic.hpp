// Internal failures: a violated check anywhere in the module (an index past
// the end of an input vector, say) stops the current call. The diagnostic is
// written to standard error at the check, on whatever thread it fails, and a
// C++ exception carries the message back to the entry wrapper, which raises
// it in Python as PanicException. This header has no Python dependency.
#pragma once

#include <cstddef>  // for size_t
#include <source_location>
#include <span>
#include <string>
#include <vector>

namespace peakforge {

// Thrown by panic(); the diagnostic has already been written when it is caught.
struct InternalFailure {
  std::string message;
};

// Writes the diagnostic for `message` at `where`, then throws InternalFailure.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Throws InternalFailure without writing a diagnostic: used when a failure
// that was already reported elsewhere is carried on.
[[noreturn]] void resume_panic(std::string message);

// "index out of bounds: the len is L but the index is I"
[[noreturn]] void panic_index(size_t len, size_t index,
                              std::source_location where = std::source_location::current());

// Bounds-checked element access; the failure names the caller's location.
template <class T>
inline const T& at(const std::vector<T>& v, size_t i,
                   std::source_location where = std::source_location::current()) {
  if (i >= v.size()) panic_index(v.size(), i, where);
  return v[i];
}
template <class T>
inline T& at(std::vector<T>& v, size_t i,
             std::source_location where = std::source_location::current()) {
  if (i >= v.size()) panic_index(v.size(), i, where);
  return v[i];
}
template <class T>
inline const T& at(std::span<const T> v, size_t i,
                   std::source_location where = std::source_location::current()) {
  if (i >= v.size()) panic_index(v.size(), i, where);
  return v[i];
}

// Formats and writes the diagnostic of one internal failure (exposed for the
// unit tests; panic() calls it).
void write_panic_diagnostic(const std::string& message, const std::source_location& where);

}  // namespace peakforge
