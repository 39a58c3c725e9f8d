// A pool of worker threads that lives for one call. The calling thread hands
// it a piece of work, which every worker runs once, and waits; a failure
// thrown inside a piece (an internal failure, running out of memory) is
// rethrown on the calling thread once every piece has stopped.
#pragma once

#include <algorithm>  // for min, clamp
#include <atomic>
#include <condition_variable>
#include <cstddef>  // for size_t
#include <cstdint>  // for uint64_t
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/platform.hpp"

namespace peakforge {

class CallPool {
 public:
  using ThreadStarter = std::function<std::optional<platform::ThreadHandle>(
      size_t stack_size, std::function<void()> body, std::string& error)>;

  // Starts `workers` unnamed threads with worker_stack_size() stacks, and
  // waits until each has made itself ready to report failures (see
  // platform::prepare_thread_for_failures). If one cannot be started or made
  // ready, those already running are stopped and joined and the call fails
  // with "called `Result::unwrap()` on an `Err` value: cannot start worker
  // thread K of W: ...", K being the first thread that failed.
  explicit CallPool(size_t workers, const ThreadStarter& start = platform::start_thread);
  // Tells the workers to finish and joins them: no thread outlives the pool.
  ~CallPool();
  CallPool(const CallPool&) = delete;
  CallPool& operator=(const CallPool&) = delete;

  size_t size() const { return threads_.size(); }

  // Runs `piece` once on every worker and blocks until all have returned;
  // then rethrows the first failure any of them threw.
  void run(const std::function<void()>& piece);

  // True once a piece of the current run has failed: the others may stop
  // early, since the run's result is lost anyway.
  bool failed() const { return failed_.load(std::memory_order_relaxed); }

 private:
  void worker_main(size_t index);
  void worker_loop();
  void release() noexcept;

  std::mutex mutex_;
  std::condition_variable wake_;      // workers: a new piece, or finish
  std::condition_variable done_;      // caller: every piece has returned
  std::condition_variable reported_;  // caller: every started worker is ready or gave up
  size_t reports_ = 0;
  std::optional<size_t> first_unready_;  // the lowest index of a worker that gave up
  const std::function<void()>* piece_ = nullptr;
  uint64_t generation_ = 0;
  size_t running_ = 0;
  bool finish_ = false;
  std::exception_ptr failure_;
  std::atomic<bool> failed_{false};
  std::vector<platform::ThreadHandle> threads_;
};

// Calls body(state, i) for every i in [0, n) exactly once, on the pool's
// workers. Indices are handed out in chunks from one atomic counter. Each
// piece of work takes one of `states` (its reusable scratch space, made by
// the caller beforehand, so that a worker does not allocate) and keeps it
// for all its chunks; a piece that finds none left does nothing, and the
// pieces that hold one share out every index among themselves.
template <class State, class Body>
void parallel_for_each_index(CallPool& pool, size_t n, std::span<State> states, Body&& body) {
  const size_t workers = std::max<size_t>(pool.size(), 1);
  const size_t chunk = std::clamp<size_t>(n / (8 * workers), 1, 64);
  std::atomic<size_t> next{0};
  std::atomic<size_t> next_state{0};
  pool.run([&] {
    const size_t mine = next_state.fetch_add(1, std::memory_order_relaxed);
    if (mine >= states.size()) return;
    State& state = states[mine];
    while (!pool.failed()) {
      const size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
      if (begin >= n) return;
      const size_t end = std::min(n, begin + chunk);
      for (size_t i = begin; i < end; ++i) body(state, i);
    }
  });
}

// The same with default-constructed states, one for each worker that can
// have work (made on the calling thread).
template <class State, class Body>
void parallel_for_each_index(CallPool& pool, size_t n, Body&& body) {
  std::vector<State> states(std::min(std::max<size_t>(pool.size(), 1), n));
  parallel_for_each_index(pool, n, std::span<State>(states), body);
}

}  // namespace peakforge
