#pragma once

#include <utility>

#include <opencv2/core.hpp>

namespace sceneflow::exporting {

// Percent of the values left out at each end of the colour range of pictures and of the 3D view.
inline constexpr double kColourRangeClipPercent = 2.0;

// The value range [lo, hi] between the `percent` and 100 − `percent` percentiles of a field's
// values at the non-zero pixels of `mask` (every pixel when `mask` is empty), so that a few
// outliers do not stretch the colour scale. Returns (0, 0) when no pixel is selected.
std::pair<double, double> RobustRange(const cv::Mat& field, const cv::Mat& mask, double percent);

// The colour of a flow vector on the Middlebury colour wheel: the direction picks the hue (right
// red, down yellow, left cyan, up blue-violet), the length relative to `max_length` the
// saturation (0 is white); lengths beyond it are darkened. BGR.
cv::Vec3b FlowColour(double u, double v, double max_length);

// The colour-wheel picture of a flow field (CV_32FC2, NaN where undefined, drawn black) with the
// length scale set by the 95th percentile of the defined lengths, so that a few wild vectors do
// not wash out the picture. When the picture is at least 64×48, a legend in the top-left corner
// shows the wheel and the length its rim stands for.
cv::Mat RenderFlowPicture(const cv::Mat& flow);

}  // namespace sceneflow::exporting
