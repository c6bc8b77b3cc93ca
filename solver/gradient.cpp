#include "solver/gradient.h"

#include "parallel/worker_pool.h"

namespace sceneflow {

void CentralGradient(const cv::Mat& F, cv::Mat& Fx, cv::Mat& Fy) {
  CV_Assert(F.type() == CV_32F);
  const int rows = F.rows;
  const int cols = F.cols;
  Fx.create(F.size(), CV_32F);
  Fy.create(F.size(), CV_32F);
  // Rows are independent; each reads its neighbours in F only.
  ParallelRows(rows, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      const float* f = F.ptr<float>(y);
      float* fx = Fx.ptr<float>(y);
      if (cols == 1) {
        fx[0] = 0.f;
      } else {
        fx[0] = f[1] - f[0];
        for (int x = 1; x < cols - 1; ++x) fx[x] = (f[x + 1] - f[x - 1]) * 0.5f;
        fx[cols - 1] = f[cols - 1] - f[cols - 2];
      }
      float* fy = Fy.ptr<float>(y);
      if (rows == 1) {
        for (int x = 0; x < cols; ++x) fy[x] = 0.f;
        continue;
      }
      // One-sided on the first and last row, central inside.
      const float* above = F.ptr<float>(y == 0 ? 0 : y - 1);
      const float* below = F.ptr<float>(y == rows - 1 ? rows - 1 : y + 1);
      const float factor = (y == 0 || y == rows - 1) ? 1.f : 0.5f;
      for (int x = 0; x < cols; ++x) fy[x] = (below[x] - above[x]) * factor;
    }
  });
}

}  // namespace sceneflow
