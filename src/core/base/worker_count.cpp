#include "base/worker_count.hpp"

#include <algorithm>  // for min

#include "base/platform.hpp"

namespace peakforge {
namespace {

std::optional<uint64_t> environment_number(const char* name) {
  const auto value = platform::environment(name);
  if (!value) return std::nullopt;
  return parse_unsigned_decimal(*value);
}

uint64_t processor_count() {
  const unsigned count = platform::logical_processor_count();
  return count > 0 ? count : 1;
}

}  // namespace

std::optional<uint64_t> parse_unsigned_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

uint64_t automatic_worker_count() {
  if (const auto n = environment_number("RAYON_NUM_THREADS")) {
    return *n > 0 ? *n : processor_count();
  }
  if (const auto n = environment_number("RAYON_RS_NUM_CPUS"); n && *n > 0) return *n;
  return processor_count();
}

size_t worker_count(uint64_t num_threads) {
  const uint64_t wanted = num_threads > 0 ? num_threads : automatic_worker_count();
  return static_cast<size_t>(std::min<uint64_t>(wanted, max_workers));
}

size_t worker_stack_size() {
  static const size_t size = [] {
    const auto value = environment_number("RUST_MIN_STACK");
    return value ? static_cast<size_t>(*value) : default_worker_stack;
  }();
  return size;
}

}  // namespace peakforge
