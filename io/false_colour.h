#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace sceneflow {

// Hue plane of a single-channel field (8-bit unsigned, 32-bit or 64-bit float) over the value
// range [lo, hi]: value·150/(hi − lo) − 150·lo/(hi − lo), rounded to the nearest integer and
// saturated to 0..255, so lo maps to hue 0 (red) and hi to hue 150 (magenta). All 0 when
// lo ≥ hi. The range is used as given (no automatic range here).
cv::Mat FalseColourHuePlane(const cv::Mat& field, double lo, double hi);

// The false-colour picture of a field as an 8-bit BGR image of the field's size: the hue plane at
// full saturation and value, and, when the field is at least 50 wide and 32 high, a legend bar of
// the hue scale in the top-left corner with the values at its top, middle and bottom printed in
// black. lo = 0, hi = −1 (exactly) selects the field's minimum and maximum as the range.
cv::Mat RenderFalseColourImage(const cv::Mat& field, double lo = 0, double hi = -1);

// Renders the field's false-colour picture and writes it under `file_name` (the format follows the
// extension) through a temporary file, so that the name never holds a partly written picture.
// Returns whether the file was written; the callers decide what a failure means for them.
bool SaveFalseColourImage(const cv::Mat& field, const std::string& file_name, double lo = 0,
                          double hi = -1);

}  // namespace sceneflow
