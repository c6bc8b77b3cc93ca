#pragma once

#include <opencv2/core.hpp>

#include "solver/level_state.h"

namespace sceneflow {

// The normal equations of one interior pixel while they are being assembled: the k × k block of
// the pixel's own unknowns, its right-hand side, and per unknown the four coefficients of the same
// unknown at the upper, lower, left and right neighbour (in that order). Unknowns in the order
// dU, dV, dW, dZ; only the first k entries are used.
struct PixelEquations {
  int k = 3;
  double A[4][4] = {};
  double b[4] = {};
  double neighbour[4][4] = {};  // [unknown][up, down, left, right]
};

// Averages of a diffusivity between a pixel and its four neighbours.
struct NeighbourAverages {
  double right = 0;
  double left = 0;
  double down = 0;  // towards the next row
  double up = 0;    // towards the previous row
};

// What the smoothness terms read of the configuration, named after the keys they come from (the
// driver has replaced the -1 of AlphaSF, AlphaW and AlphaZ by Alpha). A coupling key counts as set
// when it is not 0.
struct SmoothnessOptions {
  double AlphaSF = 100;  // smoothness weight of U and V at full size
  double AlphaW = 100;   // of W
  double AlphaZ = 100;   // of Z
  double MuU = 1;        // weights of the squared gradients inside the robust function
  double MuV = 1;
  double MuW = 1;
  double MuZ = 1;
  int DIV_UVW = 0;    // U, V and W share one robust function
  int DIV_UV_ZW = 0;  // U and V share one, W and Z another
  int DIV_UVWZ = 0;   // all four share one
};

// Level smoothness weights: the Alpha weights that the first non-zero coupling key (tested in the
// order DIV_UVWZ, DIV_UVW, DIV_UV_ZW) selects, times the level factor. The choice does not depend
// on whether depth is estimated.
SmoothWeights LevelSmoothWeights(const SmoothnessOptions& options, double level_factor);

// Per-unknown weights of the smoothness equations in the order U, V, W, Z:
// SmoothWeightUV·MuU / (4h²), SmoothWeightUV·MuV / (4h²), SmoothWeightW·MuW / (4h²),
// SmoothWeightZ·MuZ / (4h²).
struct EquationWeights {
  double w[4] = {};
};
EquationWeights SmoothnessEquationWeights(const SmoothWeights& weights,
                                          const SmoothnessOptions& options, double h);

// x and y differences of the increments dU, dV, dW (and dZ when depth is estimated) into dUx ... dZy.
void ComputeIncrementGradients(LevelState& state);

// DiffusivityUV, DiffusivityW and DiffusivityZ over the whole level from the gradients of the
// updated fields (Ux + dUx and so on), coupled as the keys DIV_UVWZ, DIV_UVW and DIV_UV_ZW say:
// 1/sqrt(s + 1e-6), so a flat field gives 1000. With depth fixed DiffusivityZ is the constant
// 1000. Needs Ux ... Wy (and Zx, Zy when depth is estimated) and the increment gradients.
void ComputeDiffusivities(LevelState& state, const SmoothnessOptions& options);

// Averages of diffusivity d at interior pixel (x, y) towards its four neighbours. d is CV_32F or
// CV_64F.
NeighbourAverages AverageToNeighbours(const cv::Mat& d, int x, int y);

// The same on row pointers of a CV_32F diffusivity (rows y - 1, y and y + 1).
inline NeighbourAverages AverageToNeighbours(const float* above, const float* row,
                                             const float* below, int x) {
  const double centre = row[x];
  NeighbourAverages a;
  a.right = (centre + static_cast<double>(row[x + 1])) / 2;
  a.left = (centre + static_cast<double>(row[x - 1])) / 2;
  a.down = (centre + static_cast<double>(below[x])) / 2;
  a.up = (centre + static_cast<double>(above[x])) / 2;
  return a;
}

// Rows y - 1, y and y + 1 of what the smoothness equations of image row y read: per unknown
// (U, V, W, Z) its field and the diffusivity that couples it, and the equation weights.
struct SmoothnessRows {
  int k = 3;
  const float* field[4][3] = {};        // [unknown][above, row, below]
  const float* diffusivity[4][3] = {};  // U and V share DiffusivityUV
  EquationWeights weights;
};

// Binds the rows around interior image row y. Fields: U, V, W, and Z when k is 4.
SmoothnessRows BindSmoothnessRows(const LevelState& state, const cv::Mat& U, const cv::Mat& V,
                                  const cv::Mat& W, const cv::Mat& Z,
                                  const EquationWeights& weights, int y);

// Starts the equations of interior pixel x of the bound row: for every unknown j the diagonal
// w_j·(sum of the four averages), the neighbour coefficients −w_j·average, and the right-hand side
// w_j·(diffusion sum of the current field F_j). Off-diagonal block entries start at 0.
inline void AddSmoothnessTerms(const SmoothnessRows& rows, int x, PixelEquations& equations) {
  const int k = rows.k;
  equations.k = k;
  for (int j = 0; j < 4; ++j) {
    for (int m = 0; m < 4; ++m) equations.A[j][m] = 0;
    equations.b[j] = 0;
  }
  for (int j = 0; j < k; ++j) {
    const NeighbourAverages a = AverageToNeighbours(rows.diffusivity[j][0], rows.diffusivity[j][1],
                                                    rows.diffusivity[j][2], x);
    const double w = rows.weights.w[j];
    const double sum = a.right + a.left + a.down + a.up;
    const float* above = rows.field[j][0];
    const float* row = rows.field[j][1];
    const float* below = rows.field[j][2];
    equations.A[j][j] = w * sum;
    equations.neighbour[j][0] = -w * a.up;
    equations.neighbour[j][1] = -w * a.down;
    equations.neighbour[j][2] = -w * a.left;
    equations.neighbour[j][3] = -w * a.right;
    equations.b[j] = w * (a.right * row[x + 1] + a.left * row[x - 1] + a.down * below[x] +
                          a.up * above[x] - sum * row[x]);
  }
}

}  // namespace sceneflow
