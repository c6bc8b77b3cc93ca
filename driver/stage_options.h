#pragma once

#include <opencv2/core.hpp>

#include "config/parameter_set.h"
#include "geometry/calibration_files.h"
#include "geometry/camera.h"
#include "geometry/masks.h"
#include "geometry/view_warping.h"
#include "solver/scene_flow_solver.h"
#include "solver/smoothness.h"
#include "solver/sor_options.h"

namespace sceneflow {

// The options of each stage of a run, taken from the parameter set once, by the driver: the
// stages below it see only the settings they read. Each copies its keys as they are; those with
// derived defaults (u0, v0, AlphaSF, AlphaW, AlphaZ) must have had them applied
// (ApplyDerivedDefaults).

// NumOfViews, CMat_FileName, RMat_FileName and TMat_FileName (which must be set).
CalibrationFiles CalibrationFilesOf(const ParameterSet& parameters);

// f0ku, f0kv, u0, v0.
ReferenceIntrinsics ReferenceIntrinsicsOf(const ParameterSet& parameters);

// COP: (COPX, COPY, COPZ).
cv::Vec3d CentreOfProjection(const ParameterSet& parameters);

// Occl_Z and maxZ.
OcclusionOptions OcclusionOptionsOf(const ParameterSet& parameters);

// NumOfViews, the occlusion options, BLACK_LINE, SF_I0_Warped_FileName, SF_It_Warped_FileName
// and IMG_TYPE.
WarpOptions WarpOptionsOf(const ParameterSet& parameters);

// AlphaSF, AlphaW, AlphaZ, MuU, MuV, MuW, MuZ, DIV_UVW, DIV_UV_ZW and DIV_UVWZ.
SmoothnessOptions SmoothnessOptionsOf(const ParameterSet& parameters);

// MaxIterSOR, EpsilonSOR and OmegaSOR.
SorOptions SorOptionsOf(const ParameterSet& parameters);

// The schedule (PyramidEta, the outer and inner iteration limits), SF_D0_FileName, the reference
// intrinsics, the centre of projection and the options of the stages above.
SolverOptions SolverOptionsOf(const ParameterSet& parameters);

}  // namespace sceneflow
