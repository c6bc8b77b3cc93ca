#include "config/validate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "config/input_error.h"

namespace sceneflow {
namespace {

ParameterSet RunnableParameters() {
  ParameterSet parameters;
  parameters.Img_0_FileName = "i0_";
  parameters.Img_t_FileName = "it_";
  parameters.CMat_FileName = "C";
  parameters.RMat_FileName = "R";
  parameters.TMat_FileName = "T";
  parameters.TxtResultsDir = "results";
  return parameters;
}

TEST(ValidateTest, DefaultsWithFileNamesAreRunnable) {
  EXPECT_NO_THROW(ValidateParameters(RunnableParameters()));
  EXPECT_EQ(PyramidLevelCount(RunnableParameters()), 11);
}

TEST(ValidateTest, RefusesWhatCannotGiveSoundResults) {
  auto refused = [](auto change) {
    ParameterSet parameters = RunnableParameters();
    change(parameters);
    EXPECT_THROW(ValidateParameters(parameters), InputError);
  };
  refused([](ParameterSet& p) { p.NumOfViews = 0; });
  refused([](ParameterSet& p) { p.Img_0_FileName.reset(); });
  refused([](ParameterSet& p) { p.Img_t_FileName.reset(); });
  refused([](ParameterSet& p) { p.TMat_FileName.reset(); });
  refused([](ParameterSet& p) { p.TxtResultsDir.reset(); });
  refused([](ParameterSet& p) { p.PyramidEta = 1.0; });
  refused([](ParameterSet& p) { p.PyramidEta = 0.0; });
  refused([](ParameterSet& p) { p.PyramidLevelFinal = 0; });
  refused([](ParameterSet& p) { p.PyramidLevelFinal = 5; });  // finer than PyramidLevelsSF 4
  refused([](ParameterSet& p) { p.f0ku = 0; });
  refused([](ParameterSet& p) { p.f0kv = -300; });
  refused([](ParameterSet& p) { p.maxZ = 0; });
  refused([](ParameterSet& p) { p.OmegaSOR = 2; });
  refused([](ParameterSet& p) { p.Alpha = -1; });
  refused([](ParameterSet& p) { p.AlphaW = -2; });
  refused([](ParameterSet& p) { p.MuZ = -0.5; });
  refused([](ParameterSet& p) { p.AlphaZ = std::nan(""); });
  refused([](ParameterSet& p) {
    p.InitStereo = 1;
    p.Tx = 0;
  });
  refused([](ParameterSet& p) { p.BLACK_LINE = 1; });
}

TEST(ValidateTest, RefusesNumbersThatAreNotFinite) {
  auto message = [](auto change) -> std::string {
    ParameterSet parameters = RunnableParameters();
    change(parameters);
    try {
      ValidateParameters(parameters);
    } catch (const InputError& error) {
      return error.what();
    }
    return "accepted";
  };
  EXPECT_EQ(message([](ParameterSet& p) { p.U_CONST = std::nan(""); }),
            "Error: U_CONST is nan, it must be a finite number");
  EXPECT_EQ(message([](ParameterSet& p) { p.Z_CONST = -HUGE_VAL; }),
            "Error: Z_CONST is -inf, it must be a finite number");
  EXPECT_EQ(message([](ParameterSet& p) { p.W_CONST = HUGE_VAL; }),
            "Error: W_CONST is inf, it must be a finite number");
  EXPECT_EQ(message([](ParameterSet& p) { p.Alpha = HUGE_VAL; }),
            "Error: Alpha is inf, it must be a finite number");
  EXPECT_EQ(message([](ParameterSet& p) { p.EpsilonSOR = std::nan(""); }),
            "Error: EpsilonSOR is nan, it must be a finite number");
  EXPECT_EQ(message([](ParameterSet& p) { p.V_CONST = 1e300; }), "accepted");
}

TEST(ValidateTest, SentinelsAndZeroWeightsAreAccepted) {
  ParameterSet parameters = RunnableParameters();
  parameters.Alpha = 0;
  parameters.AlphaSF = -1;
  parameters.MuU = 0;
  parameters.OmegaSOR = 1;
  EXPECT_NO_THROW(ValidateParameters(parameters));
}

TEST(ValidateTest, AcceptsSingleStageAndManyViews) {
  ParameterSet parameters = RunnableParameters();
  parameters.PyramidLevelsFlow = 2;  // below PyramidLevelsSF: one stage of 4 levels
  parameters.NumOfViews = 12;
  parameters.PyramidLevelFinal = 4;
  EXPECT_NO_THROW(ValidateParameters(parameters));
  EXPECT_EQ(PyramidLevelCount(parameters), 4);
}

}  // namespace
}  // namespace sceneflow
