#include "config/derived_defaults.h"

namespace sceneflow {

void ApplyDerivedDefaults(ParameterSet& p, cv::Size reference_size) {
  if (p.AlphaSF == -1) p.AlphaSF = p.Alpha;
  if (p.AlphaW == -1) p.AlphaW = p.Alpha;
  if (p.AlphaZ == -1) p.AlphaZ = p.Alpha;
  if (p.u0 == -1) p.u0 = reference_size.width / 2;
  if (p.v0 == -1) p.v0 = reference_size.height / 2;
}

}  // namespace sceneflow
