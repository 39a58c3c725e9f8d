// Diagnostic of an internal failure, written to the raw standard-error stream.
#include "base/panic.hpp"

#include <cstring>  // for strstr
#include <mutex>

#include "base/platform.hpp"

namespace peakforge {
namespace {

// Serialises diagnostics of concurrent failures so their lines never interleave.
std::mutex diagnostic_lock;

enum class BacktraceStyle { off, short_frames, full };

// Read once, at the first internal failure of the process; later changes of
// the environment do not count.
BacktraceStyle backtrace_style() {
  static const BacktraceStyle style = [] {
    auto value = platform::environment("RUST_BACKTRACE");
    if (!value || *value == "0") return BacktraceStyle::off;
    if (*value == "full") return BacktraceStyle::full;
    return BacktraceStyle::short_frames;
  }();
  return style;
}

bool first_failure = true;  // guarded by diagnostic_lock

// Source locations are reported relative to the project (src/...), whatever
// directory the build ran in.
const char* project_relative(const char* file) {
  const char* last = nullptr;
  for (const char* p = std::strstr(file, "src/"); p != nullptr; p = std::strstr(p + 1, "src/")) {
    last = p;
  }
  return last != nullptr ? last : file;
}

}  // namespace

void write_panic_diagnostic(const std::string& message, const std::source_location& where) {
  std::lock_guard<std::mutex> guard(diagnostic_lock);
  BacktraceStyle style = backtrace_style();

  std::string text = "\nthread '<unnamed>' (" + std::to_string(platform::current_thread_id()) +
                     ") panicked at " + project_relative(where.file_name()) + ":" +
                     std::to_string(where.line()) + ":" + std::to_string(where.column()) + ":\n" +
                     message + "\n";
  switch (style) {
    case BacktraceStyle::off:
      if (first_failure) {
        text += "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n";
      }
      break;
    case BacktraceStyle::full:
      text += "stack backtrace:\n" + platform::stack_frames(0);
      break;
    case BacktraceStyle::short_frames:
      // Leave out this function and panic() itself.
      text += "stack backtrace:\n" + platform::stack_frames(2);
      text +=
          "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose "
          "backtrace.\n";
      break;
  }
  first_failure = false;

  // One write for the whole diagnostic, so that readers that do not take
  // the lock still see it whole.
  platform::write_stderr(text.data(), text.size());
}

void panic(std::string message, std::source_location where) {
  write_panic_diagnostic(message, where);
  throw InternalFailure{std::move(message)};
}

void resume_panic(std::string message) { throw InternalFailure{std::move(message)}; }

void panic_index(size_t len, size_t index, std::source_location where) {
  panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
            std::to_string(index),
        where);
}

}  // namespace peakforge
