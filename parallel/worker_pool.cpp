#include "parallel/worker_pool.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string>

#include "parallel/usable_cpus.h"

namespace sceneflow {
namespace {

// True on a thread while it runs its share of a task: a task that asks the pool for more threads
// runs that work itself instead of waiting for threads that are all busy.
thread_local bool inside_task = false;

// The pool that WorkerPool::Shared() gives on this thread instead of the process's pool: set by
// UseWorkerPool, and on a pool's own threads to that pool.
thread_local WorkerPool* chosen_pool = nullptr;

// Threads of the process's pool: set by WorkerPool::SizeShared, 0 for every usable CPU.
std::atomic<int> shared_pool_size{0};
// Whether the process's pool is made; its size is then fixed.
std::atomic<bool> shared_pool_made{false};

// About 50 microseconds of polling before a thread that waits goes to sleep.
constexpr int kSpinsBeforeSleeping = 4096;

inline void Pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Runs task(index) with inside_task set; an exception is kept in `failure` (the first one wins)
// for the calling thread to rethrow.
void RunShare(const std::function<void(int)>& task, int index, std::mutex& mutex,
              std::exception_ptr& failure) {
  inside_task = true;
  try {
    task(index);
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!failure) failure = std::current_exception();
  }
  inside_task = false;
}

}  // namespace

WorkerPool::WorkerPool(int threads) {
  for (int index = 1; index < std::max(threads, 1); ++index) {
    workers_.emplace_back([this, index] { WorkerLoop(index); });
  }
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  start_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

WorkerPool& WorkerPool::Shared() {
  if (chosen_pool != nullptr) return *chosen_pool;
  static WorkerPool pool([] {
    if (shared_pool_size.load() == 0) shared_pool_size.store(UsableCpuCount());
    shared_pool_made.store(true);
    return shared_pool_size.load();
  }());
  return pool;
}

void WorkerPool::SizeShared(int threads) {
  threads = std::max(threads, 1);
  if (shared_pool_made.load() && shared_pool_size.load() != threads) {
    throw std::logic_error("the process's worker pool is already running with " +
                           std::to_string(shared_pool_size.load()) + " threads");
  }
  shared_pool_size.store(threads);
}

UseWorkerPool::UseWorkerPool(WorkerPool& pool) : previous_(chosen_pool) { chosen_pool = &pool; }

UseWorkerPool::~UseWorkerPool() { chosen_pool = previous_; }

void WorkerPool::WorkerLoop(int index) {
  chosen_pool = this;
  long seen = 0;
  for (;;) {
    // Tasks often follow each other within microseconds, and waking a sleeping thread costs tens
    // of them: look for the next task a little while before sleeping.
    for (int spin = 0; spin < kSpinsBeforeSleeping &&
                       generation_.load(std::memory_order_acquire) == seen;
         ++spin) {
      Pause();
    }
    const std::function<void(int)>* task = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      start_.wait(lock, [&] {
        return stopping_ || (generation_.load() != seen && index < active_threads_);
      });
      if (stopping_) return;
      seen = generation_;
      task = task_;
    }
    RunShare(*task, index, failure_mutex_, failure_);
    if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::lock_guard<std::mutex> lock(mutex_);
      done_.notify_one();
    }
  }
}

void WorkerPool::RunOnThreads(int threads, const std::function<void(int)>& task) {
  threads = std::clamp(threads, 1, size());
  if (inside_task) {
    for (int t = 0; t < threads; ++t) task(t);
    return;
  }
  if (threads == 1) {
    task(0);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = &task;
    active_threads_ = threads;
    pending_.store(threads - 1, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
  }
  start_.notify_all();
  RunShare(task, 0, failure_mutex_, failure_);
  for (int spin = 0; spin < kSpinsBeforeSleeping && pending_.load(std::memory_order_acquire) != 0;
       ++spin) {
    Pause();
  }
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return pending_.load(std::memory_order_acquire) == 0; });
  task_ = nullptr;
  if (failure_) {
    std::exception_ptr failure = failure_;
    failure_ = nullptr;
    std::rethrow_exception(failure);
  }
}

void WorkerPool::ForRows(int rows, const std::function<void(int, int)>& body) {
  // Below a few rows per thread the hand-over costs more than it saves.
  constexpr int kMinRowsPerThread = 8;
  const int threads = std::clamp(rows / kMinRowsPerThread, 1, size());
  RunOnThreads(threads, [&](int t) {
    const int begin = static_cast<int>(static_cast<long>(rows) * t / threads);
    const int end = static_cast<int>(static_cast<long>(rows) * (t + 1) / threads);
    if (begin < end) body(begin, end);
  });
}

bool WaitUntilAtLeast(const std::atomic<int>& counter, int needed) {
  int value = counter.load(std::memory_order_acquire);
  for (int spin = 0; value < needed && spin < kSpinsBeforeSleeping; ++spin) {
    Pause();
    value = counter.load(std::memory_order_acquire);
  }
  if (value >= needed) return false;
  while (value < needed) {
    counter.wait(value, std::memory_order_acquire);
    value = counter.load(std::memory_order_acquire);
  }
  return true;
}

}  // namespace sceneflow
