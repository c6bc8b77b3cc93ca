#include "geometry/projection.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include <opencv2/calib3d.hpp>

#include "parallel/worker_pool.h"

namespace sceneflow {
namespace {

constexpr const char* kProjectFunction = "cvProjectPoints2";
constexpr const char* kConvertFunction = "cvConvertPointsHomogeneous";

// Raises a projection error as a cv::Exception carrying the status, the message, the function
// name "cvProjectPoints2" and the raising line.
#define SCENEFLOW_RAISE(status, message) \
  cv::error(status, message, kProjectFunction, __FILE__, __LINE__)

constexpr const char* kInvalidMatrix = "One of required arguments is not a valid matrix";
constexpr const char* kInnerFailure = "Inner function failed.";
constexpr const char* kBadRotation =
    "Rotation must be represented by 1x3 or 3x1 floating-point rotation vector, or 3x3 rotation "
    "matrix";
constexpr const char* kBadTranslation =
    "Translation vector must be 1x3 or 3x1 floating-point vector";
constexpr const char* kBadIntrinsics = "Instrinsic parameters must be 3x3 floating-point matrix";

bool IsValidMatrix(const cv::Mat& matrix) {
  return matrix.dims == 2 && matrix.rows > 0 && matrix.cols > 0 && matrix.data != nullptr;
}

bool IsFloatDepth(const cv::Mat& matrix) {
  return matrix.depth() == CV_32F || matrix.depth() == CV_64F;
}

// A 3-element row or column vector (channels counted).
bool IsThreeVector(const cv::Mat& matrix) {
  return (matrix.rows == 1 || matrix.cols == 1) &&
         matrix.rows * matrix.cols * matrix.channels() == 3;
}

// How a matrix holds a set of points: `count` points of `dims` coordinates.
struct PointLayout {
  int dims = 0;
  int count = 0;
};

// The point reading of the homogeneous converter: a matrix with more rows than columns holds one
// point per row; otherwise one point per column (single channel, a coordinate per row) or, with
// one row, one point per multi-channel element. Raises when neither reading applies.
PointLayout DescribePoints(const cv::Mat& matrix) {
  const int channels = matrix.channels();
  if (matrix.rows > matrix.cols) {
    if (!((matrix.cols > 1) ^ (channels > 1))) {
      cv::error(cv::Error::StsBadSize, "Either the number of channels or columns or rows must be =1",
                kConvertFunction, __FILE__, __LINE__);
    }
    return {channels * matrix.cols, matrix.rows};
  }
  if (!((matrix.rows > 1) ^ (channels > 1))) {
    cv::error(cv::Error::StsBadSize, "Either the number of channels or columns or rows must be =1",
              kConvertFunction, __FILE__, __LINE__);
  }
  return {channels * matrix.rows, matrix.cols};
}

// Address of coordinate `coordinate` of point `point`, under DescribePoints' reading.
template <typename T>
T* PointCoordinate(const cv::Mat& matrix, int point, int coordinate) {
  if (matrix.rows > matrix.cols) {
    return const_cast<T*>(matrix.ptr<T>(point)) + coordinate;
  }
  if (matrix.rows == 1) {
    return const_cast<T*>(matrix.ptr<T>(0)) + point * matrix.channels() + coordinate;
  }
  return const_cast<T*>(matrix.ptr<T>(coordinate)) + point;
}

double ReadCoordinate(const cv::Mat& matrix, int point, int coordinate) {
  return matrix.depth() == CV_32F ? *PointCoordinate<float>(matrix, point, coordinate)
                                  : *PointCoordinate<double>(matrix, point, coordinate);
}

void WriteCoordinate(cv::Mat& matrix, int point, int coordinate, double value) {
  if (matrix.depth() == CV_32F) {
    *PointCoordinate<float>(matrix, point, coordinate) = static_cast<float>(value);
  } else {
    *PointCoordinate<double>(matrix, point, coordinate) = value;
  }
}

// Converts the point set `src` into the existing matrix `dst`, which fixes the target layout and
// dimension: equal dimensions are copied, one more gets a last coordinate of 1, one fewer is
// divided by the last source coordinate (by 1 where that is within epsilon of 0). Every check
// runs before anything is written.
void ConvertPointsHomogeneous(const cv::Mat& src, cv::Mat& dst) {
  const PointLayout from = DescribePoints(src);
  const PointLayout to = DescribePoints(dst);
  if (from.count != to.count) {
    cv::error(cv::Error::StsUnmatchedSizes, "Both matrices must have the same number of points",
              kConvertFunction, __FILE__, __LINE__);
  }
  if (!IsFloatDepth(src) || !IsFloatDepth(dst)) {
    cv::error(cv::Error::StsUnsupportedFormat,
              "Both matrices must be floating-point (single or double precision)",
              kConvertFunction, __FILE__, __LINE__);
  }
  if (from.dims < 2 || from.dims > 4 || to.dims < 2 || to.dims > 4) {
    cv::error(cv::Error::StsOutOfRange,
              "Both input and output point dimensionality must be 2, 3 or 4", kConvertFunction,
              __FILE__, __LINE__);
  }
  if (from.dims < to.dims - 1 || from.dims > to.dims + 1) {
    cv::error(cv::Error::StsUnmatchedSizes,
              "The dimensionalities of input and output point sets differ too much",
              kConvertFunction, __FILE__, __LINE__);
  }
  const bool float_target = dst.depth() == CV_32F;
  for (int i = 0; i < from.count; ++i) {
    if (from.dims <= to.dims) {
      for (int j = 0; j < from.dims; ++j) WriteCoordinate(dst, i, j, ReadCoordinate(src, i, j));
      if (from.dims < to.dims) WriteCoordinate(dst, i, to.dims - 1, 1.0);
      continue;
    }
    // The division runs in the target's precision, with that precision's epsilon.
    if (float_target) {
      const float w = static_cast<float>(ReadCoordinate(src, i, from.dims - 1));
      const float factor = std::fabs(static_cast<double>(w)) > FLT_EPSILON ? 1.f / w : 1.f;
      for (int j = 0; j < to.dims; ++j) {
        WriteCoordinate(dst, i, j, static_cast<float>(ReadCoordinate(src, i, j)) * factor);
      }
    } else {
      const double w = ReadCoordinate(src, i, from.dims - 1);
      const double factor = std::fabs(w) > DBL_EPSILON ? 1.0 / w : 1.0;
      for (int j = 0; j < to.dims; ++j) WriteCoordinate(dst, i, j, ReadCoordinate(src, i, j) * factor);
    }
  }
}

// Reads the first `count` values of a continuous matrix (row by row, channel by channel) as doubles.
void ReadAsDoubles(const cv::Mat& matrix, double* values, int count) {
  cv::Mat doubles;
  matrix.reshape(1, 1).convertTo(doubles, CV_64F);
  for (int i = 0; i < count; ++i) values[i] = doubles.at<double>(0, i);
}

}  // namespace

ViewCamera PrepareViewCamera(const cv::Mat& rotation, const cv::Mat& translation,
                             const cv::Mat& intrinsics, double aspect_ratio) {
  if (!IsValidMatrix(rotation) || !IsValidMatrix(translation) || !IsValidMatrix(intrinsics)) {
    SCENEFLOW_RAISE(cv::Error::StsBadArg, kInvalidMatrix);
  }
  ViewCamera camera;

  const bool rotation_matrix =
      rotation.rows == 3 && rotation.cols == 3 && rotation.channels() == 1;
  if (!IsFloatDepth(rotation) || !(rotation_matrix || IsThreeVector(rotation))) {
    SCENEFLOW_RAISE(cv::Error::StsBadArg, kBadRotation);
  }
  try {
    if (rotation_matrix) {
      // Used exactly as given, without orthonormalisation (a round trip through a rotation
      // vector would only check it, and cannot fail for a 3×3 floating-point matrix).
      ReadAsDoubles(rotation.isContinuous() ? rotation : rotation.clone(), camera.R, 9);
    } else {
      double vector[3];
      ReadAsDoubles(rotation.isContinuous() ? rotation : rotation.clone(), vector, 3);
      cv::Mat matrix;
      cv::Rodrigues(cv::Mat(3, 1, CV_64F, vector), matrix);
      for (int i = 0; i < 9; ++i) camera.R[i] = matrix.at<double>(i / 3, i % 3);
    }
  } catch (const cv::Exception&) {
    SCENEFLOW_RAISE(cv::Error::StsBackTrace, kInnerFailure);
  }

  if (!IsFloatDepth(translation) || !IsThreeVector(translation)) {
    SCENEFLOW_RAISE(cv::Error::StsBadArg, kBadTranslation);
  }
  ReadAsDoubles(translation.isContinuous() ? translation : translation.clone(), camera.T, 3);

  if ((intrinsics.type() != CV_32FC1 && intrinsics.type() != CV_64FC1) || intrinsics.rows != 3 ||
      intrinsics.cols != 3) {
    SCENEFLOW_RAISE(cv::Error::StsBadArg, kBadIntrinsics);
  }
  cv::Mat C;
  intrinsics.convertTo(C, CV_64F);
  camera.fx = C.at<double>(0, 0);
  camera.fy = C.at<double>(1, 1);
  camera.cx = C.at<double>(0, 2);
  camera.cy = C.at<double>(1, 2);
  if (aspect_ratio > FLT_EPSILON) camera.fx = camera.fy * aspect_ratio;
  return camera;
}

void ProjectPointsScaled(const cv::Mat& object_points, const cv::Mat& rotation,
                         const cv::Mat& translation, const cv::Mat& intrinsics,
                         cv::Mat& image_points, double level_factor, double aspect_ratio) {
  if (!IsValidMatrix(object_points) || !IsValidMatrix(rotation) || !IsValidMatrix(translation) ||
      !IsValidMatrix(intrinsics) || !IsValidMatrix(image_points)) {
    SCENEFLOW_RAISE(cv::Error::StsBadArg, kInvalidMatrix);
  }
  const int count = std::max(object_points.rows, object_points.cols);

  // Points: read in place when they already are contiguous double triples.
  cv::Mat points;
  const bool points_in_place =
      object_points.isContinuous() && object_points.depth() == CV_64F &&
      ((object_points.rows == 1 && object_points.channels() == 3) ||
       (object_points.rows == count && object_points.channels() * object_points.cols == 3));
  if (points_in_place) {
    points = object_points;
  } else {
    try {
      points = cv::Mat(1, count, CV_64FC3);
      ConvertPointsHomogeneous(object_points, points);
    } catch (const cv::Exception&) {
      SCENEFLOW_RAISE(cv::Error::StsBackTrace, kInnerFailure);
    }
  }

  // Output: written in place only when it holds exactly `count` contiguous double pairs.
  cv::Mat target;
  const bool output_in_place =
      image_points.isContinuous() && image_points.depth() == CV_64F &&
      ((image_points.rows == 1 && image_points.channels() == 2 && image_points.cols == count) ||
       (image_points.rows == count && image_points.channels() * image_points.cols == 2));
  if (output_in_place) {
    target = image_points;
  } else {
    try {
      target = cv::Mat(1, count, CV_64FC2);
    } catch (const cv::Exception&) {
      SCENEFLOW_RAISE(cv::Error::StsBackTrace, kInnerFailure);
    }
  }

  const ViewCamera camera = PrepareViewCamera(rotation, translation, intrinsics, aspect_ratio);

  const double* point = points.ptr<double>();
  double* pixel = target.ptr<double>();
  for (int i = 0; i < count; ++i, point += 3, pixel += 2) {
    ProjectPoint(camera, point[0], point[1], point[2], level_factor, pixel[0], pixel[1]);
  }
  if (!output_in_place) ConvertPointsHomogeneous(target, image_points);
}

void ProjectFieldsIntoView(const cv::Mat& PX, const cv::Mat& PY, const cv::Mat& PZ,
                           const cv::Mat& R, const cv::Mat& T, const cv::Mat& C,
                           double level_factor, cv::Mat& MapX, cv::Mat& MapY) {
  CV_Assert(PX.type() == CV_32FC1 && PY.type() == CV_32FC1 && PZ.type() == CV_32FC1);
  CV_Assert(PY.size() == PX.size() && PZ.size() == PX.size());
  const ViewCamera camera = PrepareViewCamera(R, T, C, 0.0);
  MapX.create(PX.size(), CV_32FC1);
  MapY.create(PX.size(), CV_32FC1);
  ParallelRows(PX.rows, [&](int begin, int end) {
    for (int r = begin; r < end; ++r) {
      const float* x = PX.ptr<float>(r);
      const float* y = PY.ptr<float>(r);
      const float* z = PZ.ptr<float>(r);
      float* column = MapX.ptr<float>(r);
      float* row = MapY.ptr<float>(r);
      for (int c = 0; c < PX.cols; ++c) {
        double u;
        double v;
        ProjectPoint(camera, x[c], y[c], z[c], level_factor, u, v);
        column[c] = static_cast<float>(u);
        row[c] = static_cast<float>(v);
      }
    }
  });
}

void CopyMatrixRow(const cv::Mat& src, int src_row, cv::Mat& dst, int dst_row) {
  const int type = src.type();
  if (type != CV_8UC1 && type != CV_32FC1 && type != CV_64FC1) return;
  CV_Assert(dst.type() == type && dst.cols >= src.cols);
  CV_Assert(src_row >= 0 && src_row < src.rows && dst_row >= 0 && dst_row < dst.rows);
  std::memcpy(dst.ptr(dst_row), src.ptr(src_row), src.cols * src.elemSize());
}

#undef SCENEFLOW_RAISE

}  // namespace sceneflow
