#include "geometry/projection_derivative.h"

#include <cmath>

#include "parallel/worker_pool.h"

namespace sceneflow {
namespace {

// p0·a + p1·b, then that plus p2·c + p3, each rounded to float.
inline float Combine(const double* p, float a, float b, float c, double constant) {
  const float partial = static_cast<float>(p[0] * a + p[1] * b);
  return static_cast<float>(partial + p[2] * c + constant);
}

}  // namespace

void ProjectionDerivative(const cv::Mat& P, const cv::Mat& PX, const cv::Mat& PY,
                          const cv::Mat& PZ, const cv::Mat& DX, const cv::Mat& DY,
                          const cv::Mat& DZ, int r, cv::Mat& result) {
  CV_Assert(P.rows == 3 && P.cols == 4 && P.channels() == 1);
  CV_Assert(r == 0 || r == 1);
  for (const cv::Mat* field : {&PX, &PY, &PZ, &DX, &DY, &DZ}) {
    CV_Assert(field->type() == CV_32FC1 && field->size() == PX.size());
  }
  cv::Mat rows;
  P.convertTo(rows, CV_64F);
  const double* coordinate_row = rows.ptr<double>(r);
  const double* last_row = rows.ptr<double>(2);
  result.create(PX.size(), CV_32FC1);
  ParallelRows(PX.rows, [&](int begin, int end) {
    for (int y = begin; y < end; ++y) {
      const float* px = PX.ptr<float>(y);
      const float* py = PY.ptr<float>(y);
      const float* pz = PZ.ptr<float>(y);
      const float* dx = DX.ptr<float>(y);
      const float* dy = DY.ptr<float>(y);
      const float* dz = DZ.ptr<float>(y);
      float* out = result.ptr<float>(y);
      for (int x = 0; x < PX.cols; ++x) {
        const float n = Combine(coordinate_row, px[x], py[x], pz[x], coordinate_row[3]);
        const float w = Combine(last_row, px[x], py[x], pz[x], last_row[3]);
        const float dn = Combine(coordinate_row, dx[x], dy[x], dz[x], 0.0);
        const float dw = Combine(last_row, dx[x], dy[x], dz[x], 0.0);
        const float dn_w = static_cast<float>(static_cast<double>(dn) * w);
        const float dw_n = static_cast<float>(static_cast<double>(dw) * n);
        const float numerator = static_cast<float>(static_cast<double>(dn_w) - dw_n);
        const float w_squared = static_cast<float>(static_cast<double>(w) * w);
        const float quotient =
            w_squared != 0 ? static_cast<float>(static_cast<double>(numerator) / w_squared) : 0.f;
        out[x] = std::isfinite(quotient) ? quotient : 0.f;
      }
    }
  });
}

}  // namespace sceneflow
