#pragma once

#include <string>

#include <opencv2/core.hpp>

#include "tools/export/run_results.h"

namespace sceneflow::exporting {

// The page shows at most this many points of the reference surface and this many motion
// segments, each a regular subset of the results' grid.
inline constexpr int kViewerMaxPoints = 300000;
inline constexpr int kViewerMaxSegments = 1200;

// The smallest stride k ≥ 1 for which every k-th pixel of every k-th row of a grid of `size`
// gives at most `limit` pixels.
int SubsampleStride(cv::Size size, int limit);

// The unit of a run's depth and motion as far as its folder tells: metres for a KITTI folder, the
// baseline's unit for a stereo pair, otherwise the scene's own. `symbol` is empty when the unit
// has no short name.
struct RunUnits {
  std::string name;
  std::string symbol;
};
RunUnits UnitsOf(const std::string& form);

// A self-contained HTML page with a 3D view of the run, for a browser, offline: the points of the
// reference surface that the PLY holds (subsampled to at most kViewerMaxPoints), coloured from
// the reference image, their motion to time t, and controls to turn the view and play the
// motion. `folder` names the run in the title and caption.
std::string ViewerPage(const RunResults& run, const std::string& folder);

// Writes ViewerPage through a temporary file; throws InputError when it cannot be written.
void WriteViewerPage(const std::string& path, const RunResults& run, const std::string& folder);

}  // namespace sceneflow::exporting
