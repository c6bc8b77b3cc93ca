#include "parallel/worker_pool.h"

#include <atomic>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

namespace sceneflow {
namespace {

TEST(WorkerPoolTest, ForRowsCoversEveryRowOnceWithAnyPoolSize) {
  for (int threads : {1, 2, 3, 5}) {
    WorkerPool pool(threads);
    for (int rows : {0, 1, 7, 8, 17, 100}) {
      std::vector<std::atomic<int>> visits(rows);
      pool.ForRows(rows, [&](int begin, int end) {
        // A nested request runs on the calling thread instead of waiting for busy workers.
        pool.ForRows(end - begin, [&](int b, int e) {
          for (int y = begin + b; y < begin + e; ++y) ++visits[y];
        });
      });
      for (int y = 0; y < rows; ++y) EXPECT_EQ(visits[y], 1) << threads << " threads, row " << y;
    }
  }
}

TEST(WorkerPoolTest, AnExceptionOfAnyShareReachesTheCaller) {
  WorkerPool pool(3);
  EXPECT_THROW(pool.RunOnThreads(3, [](int t) {
    if (t == 2) throw std::runtime_error("share failed");
  }),
               std::runtime_error);
  // The pool still works afterwards.
  std::atomic<int> runs{0};
  pool.RunOnThreads(3, [&](int) { ++runs; });
  EXPECT_EQ(runs, 3);
}

}  // namespace
}  // namespace sceneflow
