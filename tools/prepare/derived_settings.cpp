#include "tools/prepare/derived_settings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sceneflow::prepare {
namespace {

std::string Format(const char* format, double a, double b = 0, double c = 0, double d = 0) {
  char text[256];
  std::snprintf(text, sizeof(text), format, a, b, c, d);
  return text;
}

}  // namespace

double RoundToTwoDigits(double value) {
  if (!(value > 0)) return value;
  const double scale = std::pow(10.0, std::floor(std::log10(value)) - 1.0);
  return std::round(value / scale) * scale;
}

int LevelsForMotion(double motion, int width, int fewest) {
  int most = 1;
  while (width * std::pow(kPyramidEta, most) >= kNarrowestCoarsestWidth) ++most;
  int levels = 1;
  while (levels < most && motion * std::pow(kPyramidEta, levels - 1) > kMotionAtCoarsestLevel) ++levels;
  return std::clamp(std::max(levels, fewest), 1, std::max(most, fewest));
}

DerivedSettings DeriveSettings(const SceneMeasures& m, int sf_level) {
  DerivedSettings s;
  const double z = m.median_depth;
  const double motion_pixels_per_unit = m.focal / z;
  s.alpha_sf.value = RoundToTwoDigits(kMotionWeightPerPixel * motion_pixels_per_unit);
  s.alpha_sf.why = Format("%g per pixel x f/Z = %.4g px per unit of U, V at the median start depth %.4g",
                          kMotionWeightPerPixel, motion_pixels_per_unit, z);
  if (m.views > 1 && m.baseline > 0) {
    const double depth_pixels_per_unit = m.focal * m.baseline / (z * z);
    s.alpha_z.value = RoundToTwoDigits(kDepthWeightPerPixel * depth_pixels_per_unit);
    s.alpha_z.why = Format("%g per pixel x f*B/Z^2 = %.4g px of disparity per unit of Z (f %.6g, B %.6g)",
                           kDepthWeightPerPixel, depth_pixels_per_unit, m.focal, m.baseline);
    const double looming_pixels_per_unit = 0.25 * m.size.width / z;
    s.alpha_w.value =
        RoundToTwoDigits(kMotionWeightPerPixelW * (depth_pixels_per_unit + looming_pixels_per_unit));
    s.alpha_w.why = Format("%g per pixel x (f*B/Z^2 + (width/4)/Z) = %.4g px per unit of W (looming %.4g px)",
                           kMotionWeightPerPixelW, depth_pixels_per_unit + looming_pixels_per_unit,
                           looming_pixels_per_unit);
  } else {
    s.alpha_z.value = RoundToTwoDigits(kMonoHoldFactor * s.alpha_sf.value);
    s.alpha_z.why = Format("%g x AlphaSF: one camera cannot measure depth, so it is held at its constant",
                           kMonoHoldFactor);
    s.alpha_w.value = s.alpha_z.value;
    s.alpha_w.why = "as AlphaZ: one camera cannot tell W from U and V, so W is held at 0";
  }

  s.max_z.value = RoundToTwoDigits(2.0 * m.far_depth);
  s.max_z.why = Format("twice the 99th percentile of the start depth (%.4g): no surface is switched off",
                       m.far_depth);

  s.eta.value = kPyramidEta;
  s.eta.why = "each level 0.8 times the next finer one";
  if (sf_level > 0) {
    s.levels_sf.value = sf_level;
    s.levels_sf.why = "set by --sf-level";
  } else {
    s.levels_sf.value = m.motion_started ? kSceneFlowStartLevelMotionStart : kSceneFlowStartLevelDepthStart;
    s.levels_sf.why = m.motion_started
                          ? "depth and motion refined from level 2 (0.8 of full size) on: best on noisy and large-motion scenes"
                          : "depth refined at full size only, so the start depth keeps its detail";
  }
  const int levels = LevelsForMotion(m.uncovered_motion, m.size.width, static_cast<int>(s.levels_sf.value));
  s.levels_flow.value = levels;
  if (levels == s.levels_sf.value) {
    s.levels_flow.why = Format("no coarser flow stage: the motion the start does not hold (%.3g px, 99th percentile"
                               " of the optical flow) is found on the levels where depth is estimated",
                               m.uncovered_motion);
  } else {
    s.levels_flow.why = Format("%.3g px of motion not in the start (99th percentile of the optical flow) shrinks to"
                               " %.2g px at the coarsest level (%.0f px wide)",
                               m.uncovered_motion, m.uncovered_motion * std::pow(kPyramidEta, levels - 1),
                               std::ceil(m.size.width * std::pow(kPyramidEta, levels - 1)));
  }
  s.outer.value = 2;
  s.outer.why = "two linearisations per level";
  s.inner.value = kInnerIterations;
  s.inner.why = "three inner iterations per linearisation";
  s.sor.value = 20;
  s.sor.why = "SOR sweeps per inner iteration";
  return s;
}

}  // namespace sceneflow::prepare
