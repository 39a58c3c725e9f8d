// How many workers a call pool gets, and how large their stacks are, from
// the call's num_threads and the process environment.
#pragma once

#include <cstddef>  // for size_t
#include <cstdint>  // for uint64_t
#include <optional>
#include <string_view>

namespace peakforge {

inline constexpr size_t max_workers = 65535;
inline constexpr size_t default_worker_stack = 2 * 1024 * 1024;

// The whole of `text` as an unsigned decimal: ASCII digits, at most one
// leading '+', no spaces, fitting in 64 bits. Anything else is nothing.
std::optional<uint64_t> parse_unsigned_decimal(std::string_view text);

// RAYON_NUM_THREADS (0: the processor count), then RAYON_RS_NUM_CPUS (above
// 0), then the logical-processor count (at least 1); read afresh each time.
uint64_t automatic_worker_count();

// num_threads, or the automatic count when it is 0; at most max_workers.
size_t worker_count(uint64_t num_threads);

// RUST_MIN_STACK in bytes, else 2 MiB; read at the first call of the process
// and remembered.
size_t worker_stack_size();

}  // namespace peakforge
