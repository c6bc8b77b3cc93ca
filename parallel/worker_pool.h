#pragma once

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace sceneflow {

// A fixed set of worker threads that run one task at a time together with the calling thread.
// Every routine that splits its work across the pool gives each thread a fixed share (a range of
// image rows, say) whose results do not depend on the others, so that the outcome is the same for
// any number of threads.
class WorkerPool {
 public:
  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The pool of the process, made on first use with the size SizeShared gave (every CPU the
  // process may use, UsableCpuCount, when it was not called); or, on a thread inside the scope of
  // a UseWorkerPool and on that pool's own threads, the pool it names.
  static WorkerPool& Shared();

  // Sets the number of threads of the process's pool: a program calls it once, before any work.
  // Throws std::logic_error once the pool is made with another size.
  static void SizeShared(int threads);

  int size() const { return static_cast<int>(workers_.size()) + 1; }

  // Runs task(t) for t = 0 .. threads-1 at once, t = 0 on the calling thread, and returns when
  // all have finished. threads is limited to size(); with 1 the task runs here alone. Called from
  // within a task, the shares run one after the other on the calling thread. An exception thrown
  // by a share is rethrown here once all have finished.
  void RunOnThreads(int threads, const std::function<void(int)>& task);

  // Splits the rows [0, rows) into size() contiguous ranges and runs body(begin, end) for each,
  // in parallel. Small row counts run on fewer threads.
  void ForRows(int rows, const std::function<void(int, int)>& body);

 private:
  void WorkerLoop(int index);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable start_;
  std::condition_variable done_;
  const std::function<void(int)>* task_ = nullptr;
  int active_threads_ = 0;  // threads taking part in the current task, caller included
  std::atomic<int> pending_{0};      // workers of the current task that have not finished
  std::atomic<long> generation_{0};  // counts tasks, so that a worker runs each task once
  bool stopping_ = false;
  std::mutex failure_mutex_;
  std::exception_ptr failure_;  // first exception thrown by a share of the current task
};

// While it lives, WorkerPool::Shared() on the thread that made it gives `pool` instead of the
// process's pool: a run in a library (the Python module) brings a pool of the size its caller
// chose, and two such runs on two threads never share one. Scopes nest.
class UseWorkerPool {
 public:
  explicit UseWorkerPool(WorkerPool& pool);
  ~UseWorkerPool();
  UseWorkerPool(const UseWorkerPool&) = delete;
  UseWorkerPool& operator=(const UseWorkerPool&) = delete;

 private:
  WorkerPool* previous_;
};

// Waits until `counter` holds at least `needed`: spins briefly, as the thread that advances it is
// usually just ahead, then sleeps until it is told of a change (std::atomic::notify_all). Returns
// whether it slept.
bool WaitUntilAtLeast(const std::atomic<int>& counter, int needed);

// ForRows on the shared pool.
inline void ParallelRows(int rows, const std::function<void(int, int)>& body) {
  WorkerPool::Shared().ForRows(rows, body);
}

}  // namespace sceneflow
