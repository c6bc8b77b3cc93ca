#include "io/false_colour.h"

#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "io/image_file.h"

namespace sceneflow {
namespace {

// The legend spans the hue scale 0..150 in 151 steps.
constexpr int kLegendSteps = 150;
constexpr int kLegendMinWidth = 50;
constexpr int kLegendMinHeight = 32;
constexpr int kLegendBarEnd = 10;  // last column of the bar
constexpr int kLabelColumn = 11;   // left edge of the labels
constexpr double kLabelScale = 0.3;

// Value shown at legend step i: i·(hi − lo), divided by 150, plus lo.
double LegendValue(int i, double lo, double hi) { return i * (hi - lo) / kLegendSteps + lo; }

// Rows per legend step: one row per step when the picture is tall enough, else ceil(150 / h).
int LegendRowStep(int height) {
  return height >= kLegendSteps ? 1 : (kLegendSteps + height - 1) / height;
}

// The bar, drawn on the HSV picture: step i is a line in hue i across columns 0..10 at row i / s;
// later steps overwrite earlier ones on a shared row.
void DrawLegendBar(cv::Mat& hsv, int row_step) {
  for (int i = 0; i <= kLegendSteps; ++i) {
    const int row = i / row_step;
    cv::line(hsv, cv::Point(0, row), cv::Point(kLegendBarEnd, row), cv::Scalar(i, 255, 255), 1,
             cv::LINE_8);
  }
}

// One label in black; `baseline_row` is the text's bottom-left corner row.
void DrawLegendLabel(cv::Mat& bgr, double value, int baseline_row) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", value);
  cv::putText(bgr, text, cv::Point(kLabelColumn, baseline_row), cv::FONT_HERSHEY_SIMPLEX,
              kLabelScale, cv::Scalar(0, 0, 0), 1, cv::LINE_8);
}

// The three labels: the range's low end at the bar's top, its middle and its high end.
void DrawLegendLabels(cv::Mat& bgr, int row_step, double lo, double hi) {
  DrawLegendLabel(bgr, LegendValue(0, lo, hi), 10);
  DrawLegendLabel(bgr, LegendValue(kLegendSteps / 2, lo, hi), kLegendSteps / (2 * row_step) + 5);
  DrawLegendLabel(bgr, LegendValue(kLegendSteps, lo, hi), kLegendSteps / row_step);
}

}  // namespace

cv::Mat FalseColourHuePlane(const cv::Mat& field, double lo, double hi) {
  CV_Assert(!field.empty() && field.channels() == 1);
  CV_Assert(field.depth() == CV_8U || field.depth() == CV_32F || field.depth() == CV_64F);
  cv::Mat hue;
  if (lo < hi) {
    const double scale = 150.0 / (hi - lo);
    const double shift = -150.0 * lo / (hi - lo);
    field.convertTo(hue, CV_8U, scale, shift);
  } else {
    hue = cv::Mat::zeros(field.size(), CV_8U);
  }
  return hue;
}

cv::Mat RenderFalseColourImage(const cv::Mat& field, double lo, double hi) {
  CV_Assert(!field.empty() && field.channels() == 1);
  if (lo == 0 && hi == -1) cv::minMaxLoc(field, &lo, &hi);

  const cv::Mat hue = FalseColourHuePlane(field, lo, hi);
  const cv::Mat full(field.size(), CV_8U, cv::Scalar(255));
  cv::Mat hsv;
  cv::merge(std::vector<cv::Mat>{hue, full, full}, hsv);

  const bool with_legend = field.cols >= kLegendMinWidth && field.rows >= kLegendMinHeight;
  const int row_step = LegendRowStep(field.rows);
  if (with_legend) DrawLegendBar(hsv, row_step);

  cv::Mat bgr;
  cv::cvtColor(hsv, bgr, cv::COLOR_HSV2BGR);
  if (with_legend) DrawLegendLabels(bgr, row_step, lo, hi);
  return bgr;
}

bool SaveFalseColourImage(const cv::Mat& field, const std::string& file_name, double lo,
                          double hi) {
  const cv::Mat picture = RenderFalseColourImage(field, lo, hi);
  return SaveImageAtomically(file_name, picture);
}

}  // namespace sceneflow
