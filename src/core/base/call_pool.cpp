#include "base/call_pool.hpp"

#include <cerrno>   // for ENOMEM
#include <cstring>  // for strerror
#include <utility>  // for exchange

#include "base/panic.hpp"
#include "base/worker_count.hpp"

namespace peakforge {
namespace {

// Workers make themselves ready one at a time, so that the memory one probes
// for is not taken by another in between.
std::mutex preparation_lock;

}  // namespace

CallPool::CallPool(size_t workers, const ThreadStarter& start) {
  const size_t stack_size = worker_stack_size();
  threads_.reserve(workers);
  std::string error;
  try {
    while (threads_.size() < workers) {
      const size_t index = threads_.size();
      auto handle = start(stack_size, [this, index] { worker_main(index); }, error);
      if (!handle) break;
      threads_.push_back(*handle);
    }
  } catch (...) {
    release();
    throw;
  }
  const size_t started = threads_.size();
  std::optional<size_t> unready;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    reported_.wait(lock, [&] { return reports_ == started; });
    unready = first_unready_;
  }
  if (started == workers && !unready) return;

  // The first thread that failed, counted from 1, named before release()
  // forgets the started ones.
  size_t failed_thread = started + 1;
  if (unready && *unready < started) {
    failed_thread = *unready + 1;
    error = std::string(std::strerror(ENOMEM)) + " (os error " + std::to_string(ENOMEM) + ")";
  }
  release();
  panic("called `Result::unwrap()` on an `Err` value: cannot start worker thread " +
        std::to_string(failed_thread) + " of " + std::to_string(workers) + ": " + error);
}

CallPool::~CallPool() { release(); }

void CallPool::release() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finish_ = true;
  }
  wake_.notify_all();
  for (const platform::ThreadHandle& thread : threads_) platform::join_thread(thread);
  threads_.clear();  // a second release has nothing left to join
}

void CallPool::run(const std::function<void()>& piece) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    piece_ = &piece;
    running_ = threads_.size();
    failure_ = nullptr;
    failed_.store(false, std::memory_order_relaxed);
    ++generation_;
  }
  wake_.notify_all();
  std::exception_ptr failure;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return running_ == 0; });
    piece_ = nullptr;
    failure = std::exchange(failure_, nullptr);
  }
  if (failure) std::rethrow_exception(failure);
}

void CallPool::worker_main(size_t index) {
  bool ready;
  {
    std::lock_guard<std::mutex> guard(preparation_lock);
    ready = platform::prepare_thread_for_failures();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++reports_;
    if (!ready && (!first_unready_ || index < *first_unready_)) first_unready_ = index;
  }
  reported_.notify_one();
  if (ready) worker_loop();
}

void CallPool::worker_loop() {
  uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return finish_ || generation_ != seen; });
    if (generation_ == seen) return;  // told to finish, no piece pending
    seen = generation_;
    const std::function<void()>* piece = piece_;
    lock.unlock();
    std::exception_ptr failure;
    try {
      (*piece)();
    } catch (...) {
      failure = std::current_exception();
      failed_.store(true, std::memory_order_relaxed);
    }
    lock.lock();
    if (failure && !failure_) failure_ = std::move(failure);
    if (--running_ == 0) done_.notify_one();
  }
}

}  // namespace peakforge
