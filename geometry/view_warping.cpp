#include "geometry/view_warping.h"

#include "geometry/masks.h"
#include "geometry/projection.h"
#include "geometry/warp_image.h"

namespace sceneflow {
namespace {

// out = a + b + c, each sum rounded to float; b and c may be absent (empty).
void AddFields(const cv::Mat& a, const cv::Mat& b, const cv::Mat& c, cv::Mat& out) {
  if (b.empty()) {
    a.copyTo(out);
  } else {
    cv::add(a, b, out);
  }
  if (!c.empty()) cv::add(out, c, out);
}

// A new mask of the grid's size, all active.
// Makes `mask` an all-active mask of the given size, reusing its buffer when it has one.
void ResetActiveMask(cv::Size size, cv::Mat& mask) {
  mask.create(size, CV_8UC1);
  mask.setTo(kMaskActive);
}

// MarkOcclusions of one view, then the border.
void BuildMask(const cv::Mat& MapX, const cv::Mat& MapY, const cv::Mat& PX, const cv::Mat& PY,
               const cv::Mat& PZ, const cv::Mat& view_centre, const OcclusionOptions& options,
               cv::Mat& mask) {
  MarkOcclusions(MapX, MapY, PX, PY, PZ, view_centre, options, mask);
  MarkMaskBorder(mask);
}

void ResizeViewList(std::vector<cv::Mat>& list, int view_count) {
  list.resize(static_cast<size_t>(view_count));
}

}  // namespace

void ProjectEstimate(const LevelGeometry& geometry, int view_count, const SceneFields& fields,
                     const SceneFields* increments, EstimateProjection& out) {
  const CalibrationSet& calibration = geometry.calibration;
  CV_Assert(view_count >= 1 && static_cast<int>(calibration.C.size()) >= view_count &&
            static_cast<int>(calibration.R.size()) >= view_count &&
            static_cast<int>(calibration.T.size()) >= view_count);
  const double s = geometry.level_factor;
  const cv::Mat none;

  // 1. The time-0 point of every reference pixel.
  AddFields(fields.Z, increments ? increments->Z : none, none, out.Depth);
  BackProjectReference(out.Depth, geometry.gridX, geometry.gridY, s, geometry.intrinsics,
                       out.RefPointX, out.RefPointY);

  // 2. Where it lands in the other views.
  for (auto* list : {&out.MapX0, &out.MapY0, &out.MapXt, &out.MapYt}) {
    ResizeViewList(*list, view_count);
  }
  for (int view = 1; view < view_count; ++view) {
    ProjectFieldsIntoView(out.RefPointX, out.RefPointY, out.Depth, calibration.R[view],
                          calibration.T[view], calibration.C[view], s, out.MapX0[view],
                          out.MapY0[view]);
  }

  // 3. The moved point at time t.
  AddFields(out.RefPointX, fields.U, increments ? increments->U : none, out.MovedPointX);
  AddFields(out.RefPointY, fields.V, increments ? increments->V : none, out.MovedPointY);
  AddFields(out.Depth, fields.W, increments ? increments->W : none, out.MovedPointZ);

  // 4. Where it lands in every view, the reference view included.
  for (int view = 0; view < view_count; ++view) {
    ProjectFieldsIntoView(out.MovedPointX, out.MovedPointY, out.MovedPointZ, calibration.R[view],
                          calibration.T[view], calibration.C[view], s, out.MapXt[view],
                          out.MapYt[view]);
  }
}

void WarpViewsOntoReference(const WarpOptions& options, const LevelGeometry& geometry,
                            const std::vector<ImagePyramid>& time0,
                            const std::vector<ImagePyramid>& timet, const cv::Mat& black_line,
                            int level, const SceneFields& fields, bool depth_fixed,
                            ViewWarping& out) {
  const int N = options.NumOfViews;
  CV_Assert(level >= 1 && static_cast<int>(time0.size()) >= N && static_cast<int>(timet.size()) >= N);
  CV_Assert(options.BLACK_LINE == 0 || !black_line.empty());
  CV_Assert(static_cast<int>(geometry.view_centres.size()) >= N);
  ProjectEstimate(geometry, N, fields, nullptr, out.estimate);
  const EstimateProjection& e = out.estimate;
  const cv::Size grid = fields.Z.size();
  const cv::Mat origin;

  // 5. The reference view at time t, seen from the origin.
  out.RefFlowMask.create(grid, CV_8UC1);
  out.RefFlowMask.setTo(kMaskActive);
  BuildMask(e.MapXt[0], e.MapYt[0], e.MovedPointX, e.MovedPointY, e.MovedPointZ, origin,
            options.occlusion, out.RefFlowMask);

  // 6. The other views at time 0, only while depth is estimated.
  for (auto* list : {&out.StereoMask0, &out.ViewMaskT, &out.ViewMaskTCopy, &out.Warped0,
                     &out.WarpedT, &out.Warped0Dx, &out.Warped0Dy, &out.WarpedTDx,
                     &out.WarpedTDy}) {
    ResizeViewList(*list, N);
  }
  for (int view = 1; view < N; ++view) {
    if (depth_fixed) {
      out.StereoMask0[view].release();
      continue;
    }
    ResetActiveMask(grid, out.StereoMask0[view]);
    BuildMask(e.MapX0[view], e.MapY0[view], e.RefPointX, e.RefPointY, e.Depth,
              geometry.view_centres[view], options.occlusion, out.StereoMask0[view]);
  }

  // 7. The other views at time t; view 1 may start from the black-line image.
  for (int view = 1; view < N; ++view) {
    ResetActiveMask(grid, out.ViewMaskT[view]);
    if (options.BLACK_LINE != 0 && view == 1) ResampleBlackLine(black_line, out.ViewMaskT[1]);
    BuildMask(e.MapXt[view], e.MapYt[view], e.MovedPointX, e.MovedPointY, e.MovedPointZ,
              geometry.view_centres[view], options.occlusion, out.ViewMaskT[view]);
    out.ViewMaskT[view].copyTo(out.ViewMaskTCopy[view]);
  }

  // 8-10. The view images resampled onto the reference grid.
  const int index = level - 1;
  const std::optional<std::string> no_save;
  WarpViewImage(timet[0].at(index), e.MapXt[0], e.MapYt[0], no_save, 0, options.IMG_TYPE,
                out.WarpedT[0], out.WarpedTDx[0], out.WarpedTDy[0], out.DerivativeScratch);
  for (int view = 1; view < N; ++view) {
    WarpViewImage(time0[view].at(index), e.MapX0[view], e.MapY0[view],
                  options.SF_I0_Warped_FileName, view, options.IMG_TYPE, out.Warped0[view],
                  out.Warped0Dx[view], out.Warped0Dy[view], out.DerivativeScratch);
  }
  for (int view = 1; view < N; ++view) {
    WarpViewImage(timet[view].at(index), e.MapXt[view], e.MapYt[view],
                  options.SF_It_Warped_FileName, view, options.IMG_TYPE, out.WarpedT[view],
                  out.WarpedTDx[view], out.WarpedTDy[view], out.DerivativeScratch);
  }
}

}  // namespace sceneflow
