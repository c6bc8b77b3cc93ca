#include "driver/stage_options.h"

namespace sceneflow {

ReferenceIntrinsics ReferenceIntrinsicsOf(const ParameterSet& parameters) {
  return {parameters.f0ku, parameters.f0kv, parameters.u0, parameters.v0};
}

cv::Vec3d CentreOfProjection(const ParameterSet& parameters) {
  return {parameters.COPX, parameters.COPY, parameters.COPZ};
}

OcclusionOptions OcclusionOptionsOf(const ParameterSet& parameters) {
  return {.Occl_Z = parameters.Occl_Z, .maxZ = parameters.maxZ};
}

WarpOptions WarpOptionsOf(const ParameterSet& parameters) {
  return {.NumOfViews = parameters.NumOfViews,
          .occlusion = OcclusionOptionsOf(parameters),
          .BLACK_LINE = parameters.BLACK_LINE,
          .SF_I0_Warped_FileName = parameters.SF_I0_Warped_FileName,
          .SF_It_Warped_FileName = parameters.SF_It_Warped_FileName,
          .IMG_TYPE = parameters.IMG_TYPE};
}

SmoothnessOptions SmoothnessOptionsOf(const ParameterSet& parameters) {
  return {.AlphaSF = parameters.AlphaSF,
          .AlphaW = parameters.AlphaW,
          .AlphaZ = parameters.AlphaZ,
          .MuU = parameters.MuU,
          .MuV = parameters.MuV,
          .MuW = parameters.MuW,
          .MuZ = parameters.MuZ,
          .DIV_UVW = parameters.DIV_UVW,
          .DIV_UV_ZW = parameters.DIV_UV_ZW,
          .DIV_UVWZ = parameters.DIV_UVWZ};
}

SorOptions SorOptionsOf(const ParameterSet& parameters) {
  return {.MaxIterSOR = parameters.MaxIterSOR,
          .EpsilonSOR = parameters.EpsilonSOR,
          .OmegaSOR = parameters.OmegaSOR};
}

SolverOptions SolverOptionsOf(const ParameterSet& parameters) {
  return {.PyramidEta = parameters.PyramidEta,
          .MaxIterOuter = parameters.MaxIterOuter,
          .EpsilonOuter = parameters.EpsilonOuter,
          .MaxIterInner = parameters.MaxIterInner,
          .EpsilonInner = parameters.EpsilonInner,
          .SF_D0_FileName = parameters.SF_D0_FileName,
          .intrinsics = ReferenceIntrinsicsOf(parameters),
          .centre_of_projection = CentreOfProjection(parameters),
          .warp = WarpOptionsOf(parameters),
          .smoothness = SmoothnessOptionsOf(parameters),
          .sor = SorOptionsOf(parameters)};
}

}  // namespace sceneflow
