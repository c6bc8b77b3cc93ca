#pragma once

#include <opencv2/core.hpp>

namespace sceneflow {

// Derivative of one projected image coordinate along a field of directions: with P_r the row r
// of a view's 3×4 ProjectionMatrix (r = 0: column, 1: row) and P_2 its last row,
//   n = P_r·(PX, PY, PZ, 1), w = P_2·(PX, PY, PZ, 1), dn = P_r·(DX, DY, DZ, 0), dw = P_2·(...),
//   result = (dn·w - dw·n) / w².
// Each step is a whole-field operation whose value is rounded to 32-bit float, in this order:
// the first two products summed, then the third product and the constant added; then dn·w,
// dw·n, their difference, w·w and the quotient.
// A point on the view's focal plane (w·w = 0 in single precision) has no finite derivative; the
// result there is 0, which keeps the point's data term from pulling on the solution. The same 0
// is written wherever the quotient overflows or is not a number, so the result is always finite.
// All fields are CV_32F of one size; the result is (re)allocated to it. P may be CV_32F or CV_64F.
void ProjectionDerivative(const cv::Mat& P, const cv::Mat& PX, const cv::Mat& PY,
                          const cv::Mat& PZ, const cv::Mat& DX, const cv::Mat& DY,
                          const cv::Mat& DZ, int r, cv::Mat& result);

}  // namespace sceneflow
