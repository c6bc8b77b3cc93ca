#include "solver/term_assembly.h"

#include "geometry/projection_derivative.h"
#include "parallel/worker_pool.h"
#include "solver/gradient.h"

namespace sceneflow {
namespace {

// A direction field (DX, DY, DZ) handed to ProjectionDerivative.
struct Direction {
  const cv::Mat& DX;
  const cv::Mat& DY;
  const cv::Mat& DZ;
};

// A 3D point field (PX, PY, PZ).
struct PointField {
  const cv::Mat& PX;
  const cv::Mat& PY;
  const cv::Mat& PZ;
};

void Derivative(const cv::Mat& P, const PointField& point, const Direction& direction, int r,
                cv::Mat& result) {
  ProjectionDerivative(P, point.PX, point.PY, point.PZ, direction.DX, direction.DY, direction.DZ,
                       r, result);
}

void Sum(const cv::Mat& a, const cv::Mat& b, cv::Mat& result) { cv::add(a, b, result); }

}  // namespace

void SurfaceDerivatives(const cv::Mat& gridX, const cv::Mat& gridY, const cv::Mat& Z,
                        const cv::Mat& Zx, const cv::Mat& Zy, double s,
                        const ReferenceIntrinsics& intrinsics, cv::Mat& RayX, cv::Mat& RayY,
                        cv::Mat& DXdx, cv::Mat& DXdy, cv::Mat& DYdx, cv::Mat& DYdy) {
  for (cv::Mat* field : {&RayX, &RayY, &DXdx, &DXdy, &DYdx, &DYdy}) field->create(Z.size(), CV_32F);
  const double su0 = s * intrinsics.u0;
  const double sv0 = s * intrinsics.v0;
  const double sfx = s * intrinsics.f0ku;
  const double sfy = s * intrinsics.f0kv;
  ParallelRows(Z.rows, [&](int begin, int end) {
    for (int r = begin; r < end; ++r) {
      const float* gx = gridX.ptr<float>(r);
      const float* gy = gridY.ptr<float>(r);
      const float* z = Z.ptr<float>(r);
      const float* zx = Zx.ptr<float>(r);
      const float* zy = Zy.ptr<float>(r);
      float* ray_x = RayX.ptr<float>(r);
      float* ray_y = RayY.ptr<float>(r);
      float* dXdx = DXdx.ptr<float>(r);
      float* dXdy = DXdy.ptr<float>(r);
      float* dYdx = DYdx.ptr<float>(r);
      float* dYdy = DYdy.ptr<float>(r);
      for (int c = 0; c < Z.cols; ++c) {
        const double u = gx[c] - su0;
        const double v = gy[c] - sv0;
        ray_x[c] = static_cast<float>(u / sfx);
        ray_y[c] = static_cast<float>(v / sfy);
        dXdx[c] = static_cast<float>((u * zx[c] + z[c]) / sfx);
        dXdy[c] = static_cast<float>(u * zy[c] / sfx);
        dYdx[c] = static_cast<float>(v * zx[c] / sfy);
        dYdy[c] = static_cast<float>((v * zy[c] + z[c]) / sfy);
      }
    }
  });
}

void AssembleTerms(const cv::Mat& U, const cv::Mat& V, const cv::Mat& W, const cv::Mat& Z,
                   const std::vector<cv::Mat>& P, double s, const ReferenceIntrinsics& intrinsics,
                   LevelState& st) {
  CentralGradient(Z, st.Zx, st.Zy);
  SurfaceDerivatives(st.gridX, st.gridY, Z, st.Zx, st.Zy, s, intrinsics, st.RayX, st.RayY, st.DXdx,
                     st.DXdy, st.DYdx, st.DYdy);
  CentralGradient(U, st.Ux, st.Uy);
  CentralGradient(V, st.Vx, st.Vy);
  CentralGradient(W, st.Wx, st.Wy);
  Sum(st.DXdx, st.Ux, st.MovedDXdx);
  Sum(st.DXdy, st.Uy, st.MovedDXdy);
  Sum(st.DYdx, st.Vx, st.MovedDYdx);
  Sum(st.DYdy, st.Vy, st.MovedDYdy);
  Sum(st.Zx, st.Wx, st.MovedDZdx);
  Sum(st.Zy, st.Wy, st.MovedDZdy);

  if (st.Zeros.size() != Z.size()) {
    st.Zeros = cv::Mat::zeros(Z.size(), CV_32F);
    st.Ones = cv::Mat::ones(Z.size(), CV_32F);
  }
  const cv::Mat& zeros = st.Zeros;
  const cv::Mat& ones = st.Ones;
  const Direction along_x{st.DXdx, st.DYdx, st.Zx};
  const Direction along_y{st.DXdy, st.DYdy, st.Zy};
  const Direction along_ray{st.RayX, st.RayY, ones};
  const int views = static_cast<int>(P.size());

  const PointField time0{st.warping.estimate.RefPointX, st.warping.estimate.RefPointY, Z};
  for (int i = 1; i < views; ++i) {
    Derivative(P[i], time0, along_x, 0, st.JacXx0[i]);
    Derivative(P[i], time0, along_y, 0, st.JacXy0[i]);
    Derivative(P[i], time0, along_x, 1, st.JacYx0[i]);
    Derivative(P[i], time0, along_y, 1, st.JacYy0[i]);
    if (st.depth_estimated) {
      Derivative(P[i], time0, along_ray, 0, st.DxDZ0[i]);
      Derivative(P[i], time0, along_ray, 1, st.DyDZ0[i]);
    }
  }

  const PointField moved{st.warping.estimate.MovedPointX, st.warping.estimate.MovedPointY, st.warping.estimate.MovedPointZ};
  const Direction unit_u{ones, zeros, zeros};
  const Direction unit_v{zeros, ones, zeros};
  const Direction unit_w{zeros, zeros, ones};
  const Direction moved_x{st.MovedDXdx, st.MovedDYdx, st.MovedDZdx};
  const Direction moved_y{st.MovedDXdy, st.MovedDYdy, st.MovedDZdy};
  for (int i = 0; i < views; ++i) {
    Derivative(P[i], moved, unit_u, 0, st.DxDU[i]);
    Derivative(P[i], moved, unit_v, 0, st.DxDV[i]);
    Derivative(P[i], moved, unit_w, 0, st.DxDW[i]);
    Derivative(P[i], moved, unit_u, 1, st.DyDU[i]);
    Derivative(P[i], moved, unit_v, 1, st.DyDV[i]);
    Derivative(P[i], moved, unit_w, 1, st.DyDW[i]);
    Derivative(P[i], moved, moved_x, 0, st.JacXxT[i]);
    Derivative(P[i], moved, moved_y, 0, st.JacXyT[i]);
    Derivative(P[i], moved, moved_x, 1, st.JacYxT[i]);
    Derivative(P[i], moved, moved_y, 1, st.JacYyT[i]);
    if (st.depth_estimated) {
      Derivative(P[i], moved, along_ray, 0, st.DxDZT[i]);
      Derivative(P[i], moved, along_ray, 1, st.DyDZT[i]);
    }
  }
}

}  // namespace sceneflow
