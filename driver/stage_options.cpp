#include "driver/stage_options.h"

namespace sceneflow {

CalibrationFiles CalibrationFilesOf(const ParameterSet& p) {
  return {.views = p.NumOfViews, .C = *p.CMat_FileName, .R = *p.RMat_FileName,
          .T = *p.TMat_FileName};
}

ReferenceIntrinsics ReferenceIntrinsicsOf(const ParameterSet& parameters) {
  return {parameters.f0ku, parameters.f0kv, parameters.u0, parameters.v0};
}

cv::Vec3d CentreOfProjection(const ParameterSet& parameters) {
  return {parameters.COPX, parameters.COPY, parameters.COPZ};
}

OcclusionOptions OcclusionOptionsOf(const ParameterSet& parameters) {
  return {.Occl_Z = parameters.Occl_Z, .maxZ = parameters.maxZ};
}

WarpOptions WarpOptionsOf(const ParameterSet& p) {
  return {.NumOfViews = p.NumOfViews, .occlusion = OcclusionOptionsOf(p),
          .BLACK_LINE = p.BLACK_LINE, .SF_I0_Warped_FileName = p.SF_I0_Warped_FileName,
          .SF_It_Warped_FileName = p.SF_It_Warped_FileName, .IMG_TYPE = p.IMG_TYPE};
}

SmoothnessOptions SmoothnessOptionsOf(const ParameterSet& p) {
  return {.AlphaSF = p.AlphaSF, .AlphaW = p.AlphaW, .AlphaZ = p.AlphaZ,
          .MuU = p.MuU, .MuV = p.MuV, .MuW = p.MuW, .MuZ = p.MuZ,
          .DIV_UVW = p.DIV_UVW, .DIV_UV_ZW = p.DIV_UV_ZW, .DIV_UVWZ = p.DIV_UVWZ};
}

SorOptions SorOptionsOf(const ParameterSet& p) {
  return {.MaxIterSOR = p.MaxIterSOR, .EpsilonSOR = p.EpsilonSOR, .OmegaSOR = p.OmegaSOR};
}

SolverOptions SolverOptionsOf(const ParameterSet& p) {
  return {.PyramidEta = p.PyramidEta,
          .MaxIterOuter = p.MaxIterOuter, .EpsilonOuter = p.EpsilonOuter,
          .MaxIterInner = p.MaxIterInner, .EpsilonInner = p.EpsilonInner,
          .SF_D0_FileName = p.SF_D0_FileName,
          .intrinsics = ReferenceIntrinsicsOf(p), .centre_of_projection = CentreOfProjection(p),
          .warp = WarpOptionsOf(p), .smoothness = SmoothnessOptionsOf(p), .sor = SorOptionsOf(p)};
}

}  // namespace sceneflow
