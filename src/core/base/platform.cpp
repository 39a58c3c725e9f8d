// Linux implementation of the platform interface.
#include "base/platform.hpp"

#include <cpuid.h>        // for __get_cpuid, __get_cpuid_count
#include <cxxabi.h>       // for __cxa_get_globals
#include <execinfo.h>     // for backtrace, backtrace_symbols
#include <pthread.h>      // for pthread_create, pthread_attr_setstacksize
#include <sched.h>        // for sched_getaffinity, CPU_COUNT
#include <sys/syscall.h>  // for SYS_gettid
#include <unistd.h>       // for write, sysconf, syscall

#include <cerrno>
#include <cstdlib>  // for getenv, free
#include <cstring>  // for strerror
#include <memory>

namespace peakforge::platform {

unsigned logical_processor_count() {
  // The processors this process may run on (a container or taskset may
  // allow fewer than the machine has), else every online processor.
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    const int n = CPU_COUNT(&allowed);
    if (n > 0) return static_cast<unsigned>(n);
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 0;
}

uint64_t current_thread_id() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

void write_stderr(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(2, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string stack_frames(int skip) {
  void* frames[128];
  int count = backtrace(frames, 128);
  char** symbols = backtrace_symbols(frames, count);
  std::string text;
  for (int i = skip; i < count; ++i) {
    text += "  ";
    text += std::to_string(i - skip);
    text += ": ";
    text += symbols != nullptr ? symbols[i] : "<unknown>";
    text += '\n';
  }
  std::free(symbols);
  return text;
}

bool avx512f_usable() {
  static const bool usable = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool os_saves_state = (ecx >> 27) & 1;  // OSXSAVE: xgetbv may be used
    if (!os_saves_state) return false;
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    // SSE, AVX, opmask, upper halves of zmm0-15, zmm16-31.
    constexpr unsigned zmm_state = 0x02 | 0x04 | 0x20 | 0x40 | 0x80;
    if ((xcr0_low & zmm_state) != zmm_state) return false;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return ((ebx >> 16) & 1) != 0;  // AVX512F
  }();
  return usable;
}

bool prepare_thread_for_failures() {
  // glibc allocates a thread's block of a dynamically loaded library's
  // thread-local storage (here libstdc++'s exception globals, which every
  // throw and catch touches) with malloc on first use, and ends the process
  // if malloc fails. A probe of the same order of size, freed just before,
  // leaves a chunk this thread's next small allocation takes; without it the
  // thread gives up instead.
  void* probe = std::malloc(4096);
  if (probe == nullptr) return false;
  __asm__ volatile("" : : "r"(probe) : "memory");  // keep the pair from being optimised away
  std::free(probe);
  (void)abi::__cxa_get_globals();
  return true;
}

namespace {
void* thread_main(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}
}  // namespace

std::optional<ThreadHandle> start_thread(size_t stack_size, std::function<void()> body,
                                         std::string& error) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack_size < static_cast<size_t>(PTHREAD_STACK_MIN)) stack_size = PTHREAD_STACK_MIN;
  // Round up to the page size, as the system requires on some libcs.
  long page = sysconf(_SC_PAGESIZE);
  if (page > 0) {
    const size_t p = static_cast<size_t>(page);
    // A size too close to the top of the address space is left as it is
    // (the start then fails) rather than wrapped round to a small one.
    if (stack_size <= SIZE_MAX - (p - 1)) stack_size = (stack_size + p - 1) / p * p;
  }
  int rc = pthread_attr_setstacksize(&attr, stack_size);
  auto* heap_body = new std::function<void()>(std::move(body));
  pthread_t thread{};
  if (rc == 0) rc = pthread_create(&thread, &attr, thread_main, heap_body);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete heap_body;
    error = std::string(std::strerror(rc)) + " (os error " + std::to_string(rc) + ")";
    return std::nullopt;
  }
  return ThreadHandle{static_cast<uint64_t>(thread)};
}

void join_thread(ThreadHandle handle) {
  pthread_join(static_cast<pthread_t>(handle.native), nullptr);
}

}  // namespace peakforge::platform
