// Every operating-system call of the module lives behind this header, so that a
// port to another system touches platform.cpp alone.
#pragma once

#include <cstddef>  // for size_t
#include <cstdint>  // for uint64_t
#include <functional>
#include <optional>
#include <string>

namespace peakforge::platform {

// Number of logical processors the system reports for this process (0 if it
// cannot tell).
unsigned logical_processor_count();

// The operating system's id of the calling thread.
uint64_t current_thread_id();

// Writes to the process's standard-error descriptor, bypassing Python's
// sys.stderr. Errors (no descriptor, closed pipe) are dropped silently.
void write_stderr(const char* data, size_t size);

// The value of an environment variable, or nothing when it is unset.
std::optional<std::string> environment(const char* name);

// Symbolised frames of the calling thread's stack, one per line, skipping the
// innermost `skip` frames.
std::string stack_frames(int skip);

// True when the processor has AVX-512F and the operating system saves the
// 512-bit registers across context switches (checked once per process).
bool avx512f_usable();

// Makes the calling thread ready to report a failure later without
// allocating: the C++ runtime's per-thread exception state lives in
// thread-local storage that the system allocates on first use, and aborts
// the process when it cannot. Returns false, with nothing allocated, when
// memory is too short for it now.
bool prepare_thread_for_failures();

// Starts an unnamed thread with the given stack reservation running `body`.
// Returns an opaque handle, or nothing when the thread cannot be started
// (the error text is stored in `error`).
struct ThreadHandle {
  uint64_t native = 0;
};
std::optional<ThreadHandle> start_thread(size_t stack_size, std::function<void()> body,
                                         std::string& error);
void join_thread(ThreadHandle handle);

}  // namespace peakforge::platform
