#pragma once

#include <opencv2/core.hpp>

namespace sceneflow::eval {

// Scores of one frame in the KITTI 2015 scene-flow benchmark's terms, computed as its development
// kit computes them. Disparities are CV_64F and flows CV_64FC2 (u, v), original pixels, NaN where
// a file marks the pixel invalid.

// The three files of one frame: disparity of the left camera at the first instant (disp_0), the
// disparity at the second instant of the point seen at each first-instant pixel (disp_1), and the
// optical flow of the left camera (flow). All of one size.
struct KittiFrame {
  cv::Mat disparity_0, disparity_1, flow;
};

// Outliers among the pixels where the truth is known.
struct OutlierCount {
  int pixels = 0;
  int outliers = 0;
  double Percent() const;  // NaN when no pixel is known
};

// The measures against one kind of truth (all pixels with truth, or only the non-occluded ones).
struct KittiErrors {
  OutlierCount d1;     // disp_0: |error| > 3 px and > 5 % of the true disparity
  OutlierCount d2;     // disp_1, likewise
  OutlierCount fl;     // flow: end-point error > 3 px and > 5 % of the true flow's length
  OutlierCount sf;     // where all three truths are known: an outlier in D1, D2 or Fl
  double flow_epe = 0; // mean end-point error over the flow truth's pixels, px; NaN when none
};

// Share of all pixels at which each file of the estimate is valid, before any filling, in %.
struct KittiDensity {
  double disparity_0 = 0, disparity_1 = 0, flow = 0;
  double all = 0;  // valid in all three files
};

struct KittiFrameScore {
  KittiDensity density;
  KittiErrors occ;  // against the truth of every pixel (disp_occ_*, flow_occ)
  KittiErrors noc;  // against the truth of the non-occluded pixels (disp_noc_*, flow_noc)
};

// The development kit's background interpolation, in place. On each row, every run of invalid
// pixels with valid neighbours on both sides takes the smaller of the two neighbours; the pixels
// left of the row's first valid pixel take its value, those right of the last valid one take
// that. Then, per column, the pixels above the first valid pixel and below the last one take
// theirs. What is still invalid after that (a row without a valid pixel between rows with one,
// or a field without any valid pixel) becomes 0.
void FillDisparityBackground(cv::Mat& disparity);
// The same for a flow, with the smaller neighbour chosen for u and v separately.
void FillFlowBackground(cv::Mat& flow);

// Density of the estimate as given, then the errors of the filled estimate against both truths.
// Every field must have the estimate's size.
KittiFrameScore ScoreKittiFrame(const KittiFrame& estimate, const KittiFrame& truth_occ,
                                const KittiFrame& truth_noc);

}  // namespace sceneflow::eval
