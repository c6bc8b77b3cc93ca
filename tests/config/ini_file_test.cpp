#include "config/ini_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "config/input_error.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

using testing::TempDir;
using testing::WriteFile;

std::string Dump(const ParameterSet& parameters) {
  return testing::CaptureStream([&](FILE* stream) { WriteParameters(parameters, stream); });
}

class IniFileTest : public ::testing::Test {
 protected:
  std::string Ini(const std::string& name, const std::string& text) {
    const std::string path = dir_ / name;
    WriteFile(path, text);
    return path;
  }
  TempDir dir_;
  ParameterSet parameters_;
};

TEST_F(IniFileTest, LastReadableFileDecidesEveryValue) {
  const std::string first = Ini("a.ini", "[Global]\nAlpha = 5\n");
  const std::string second = Ini("b.ini", "[Global]\nNumOfViews = 3\n");
  EXPECT_EQ(LoadParameters(parameters_, first.c_str()), 0);
  EXPECT_EQ(parameters_.Alpha, 5);
  EXPECT_EQ(LoadParameters(parameters_, second.c_str()), 0);
  EXPECT_EQ(parameters_.Alpha, 100);
  EXPECT_EQ(parameters_.NumOfViews, 3);

  const std::string both = Ini("c.ini", "[Global]\nAlpha = 7\n");
  LoadParameters(parameters_, first.c_str());
  LoadParameters(parameters_, both.c_str());
  EXPECT_EQ(parameters_.Alpha, 7);
}

TEST_F(IniFileTest, UnreadableFileChangesNothing) {
  LoadParameters(parameters_, Ini("a.ini", "[Global]\nAlpha = 5\nLogFile = x.log\n").c_str());
  EXPECT_EQ(LoadParameters(parameters_, (dir_ / "missing.ini").c_str()), 1);
  EXPECT_EQ(LoadParameters(parameters_, dir_.path().c_str()), 1);  // a directory
  EXPECT_EQ(parameters_.Alpha, 5);
  EXPECT_EQ(parameters_.LogFile, "x.log");
}

TEST_F(IniFileTest, SectionsAndKeysIgnoreCase) {
  LoadParameters(parameters_, Ini("a.ini", "[GLOBAL]\npyramidlevelsflow = 6\nPYRAMIDETA = 0.5\n"
                                           "[sceneflow]\nu_const = 2.5\n").c_str());
  EXPECT_EQ(parameters_.PyramidLevelsFlow, 6);
  EXPECT_EQ(parameters_.PyramidEta, 0.5);
  EXPECT_EQ(parameters_.U_CONST, 2.5);
}

TEST_F(IniFileTest, KeysOutsideTheirSectionAreIgnored) {
  LoadParameters(parameters_, Ini("a.ini", "Alpha = 3\n[Stereo]\nAlpha = 4\n[Other]\nAlpha = 5\n").c_str());
  EXPECT_EQ(parameters_.Alpha, 100);
}

TEST_F(IniFileTest, IntegersParseInBaseZeroAndNumbersLikeTheCLibrary) {
  LoadParameters(parameters_, Ini("a.ini", "[Global]\nMaxIterSOR = 0x10\nMaxIterInner = 010\n"
                                           "MaxIterOuter = abc\nAlpha = 2.5e1xyz\nMuZ = none\n").c_str());
  EXPECT_EQ(parameters_.MaxIterSOR, 16);
  EXPECT_EQ(parameters_.MaxIterInner, 8);
  EXPECT_EQ(parameters_.MaxIterOuter, 0);
  EXPECT_EQ(parameters_.Alpha, 25);
  EXPECT_EQ(parameters_.MuZ, 0);
}

TEST_F(IniFileTest, QuotesCommentsAndEmptyValues) {
  LoadParameters(parameters_, Ini("a.ini",
                                  "[Global]\n"
                                  "Img_0_FileName = \"\"\n"
                                  "Img_t_FileName = ''\n"
                                  "CMat_FileName = \"c;a#b\" ; comment\n"
                                  "RMat_FileName = r_ # comment\n"
                                  "TMat_FileName =\n"
                                  "LogFile = ; only a comment\n"
                                  "Alpha = 5\n"
                                  "Alpha =\n"
                                  "MuU = 2\n"
                                  "MuU = 3\n").c_str());
  EXPECT_EQ(parameters_.Img_0_FileName, "");
  EXPECT_EQ(parameters_.Img_t_FileName, "");
  EXPECT_EQ(parameters_.CMat_FileName, "c;a#b");
  EXPECT_EQ(parameters_.RMat_FileName, "r_");
  EXPECT_FALSE(parameters_.TMat_FileName.has_value());
  EXPECT_EQ(parameters_.LogFile, "sf.log");
  EXPECT_EQ(parameters_.Alpha, 5);  // an empty value is no setting, so the earlier one stands
  EXPECT_EQ(parameters_.MuU, 3);
  EXPECT_NE(Dump(parameters_).find("\nImg_0_FileName =  ; image files at time 0\n"), std::string::npos);
}

TEST_F(IniFileTest, MalformedLineIsReportedWithFileAndLineAndChangesNothing) {
  const std::string path = Ini("typo.ini", "[Global]\nAlpha = 5\nNumOfViews 3\n");
  try {
    LoadParameters(parameters_, path.c_str());
    FAIL() << "no error for a malformed line";
  } catch (const InputError& error) {
    const std::string message = error.what();
    EXPECT_NE(message.find("line 3"), std::string::npos) << message;
    EXPECT_NE(message.find(path), std::string::npos) << message;
  }
  EXPECT_EQ(parameters_.Alpha, 100);
  for (const char* text : {"[Global\n", "[Global] x\n", "= 5\n", "[Global]\nName = \"open\n"}) {
    EXPECT_THROW(LoadParameters(parameters_, Ini("bad.ini", text).c_str()), InputError) << text;
  }
}

TEST_F(IniFileTest, UnknownSectionsAndKeysAreReportedWithTheNearestKnownName) {
  const std::string path = Ini("typo.ini",
                               "Alpha = 3\n"
                               "[global]\n"
                               "Aplha_SF = 4\n"
                               "maxiterSOR = 5\n"
                               "Unheard = 1\n"
                               "NumOfView =\n"
                               "[Stereo]\n"
                               "AlphaW = 0.5\n"
                               "[Globl]\n"
                               "AlphaZ = 2\n"
                               "[SceneFlow]\n"
                               "Z_CONST = 7\n");
  std::vector<std::string> warnings;
  ASSERT_EQ(LoadParameters(parameters_, path.c_str(), &warnings), 0);
  const std::string at = "Warning: parameter file " + path + " line ";
  const std::vector<std::string> expected = {
      at + "1: key Alpha is ignored outside any section; it belongs in [Global]",
      at + "3: unknown key Aplha_SF in [Global] is ignored; did you mean AlphaSF?",
      at + "5: unknown key Unheard in [Global] is ignored",
      at + "6: unknown key NumOfView in [Global] is ignored; did you mean NumOfViews?",
      at + "8: key AlphaW is ignored in [Stereo]; it belongs in [Global]",
      at + "9: unknown section [Globl], its keys are ignored; did you mean [Global]?",
  };
  EXPECT_EQ(warnings, expected);
  // The known keys take their values; the unknown ones change nothing.
  EXPECT_EQ(parameters_.MaxIterSOR, 5);
  EXPECT_EQ(parameters_.Z_CONST, 7);
  EXPECT_EQ(parameters_.Alpha, 100);
  EXPECT_EQ(parameters_.AlphaSF, -1);
  EXPECT_EQ(parameters_.AlphaW, -1);
  EXPECT_EQ(parameters_.AlphaZ, -1);

  // Without a list to fill, the same file loads the same values.
  ParameterSet quiet;
  ASSERT_EQ(LoadParameters(quiet, path.c_str()), 0);
  EXPECT_EQ(Dump(quiet), Dump(parameters_));
}

TEST_F(IniFileTest, DumpStartsWithGlobalSectionAndReadsBack) {
  const std::string dump = Dump(parameters_);
  EXPECT_EQ(dump.rfind("\n[Global] ; Global parameters\n"
                       "Alpha = 100 ; Default weight of regularization term vs. data term\n", 0), 0u);
  EXPECT_NE(dump.find("\n[Stereo] ; Stereo computation\nD_SCALE = 0 ; \n"), std::string::npos);
  EXPECT_NE(dump.find("\n[SceneFlow] ; Scene flow computation\n"), std::string::npos);
  EXPECT_NE(dump.find("\nAlphaSF = -1 ; Weight of secene flow regularization term vs. data term for "
                      "scene flow \n"), std::string::npos);
  EXPECT_NE(dump.find("\nStereoExecutable = .\\bp-vision\\stereo.exe ; "), std::string::npos);
  EXPECT_EQ(dump.find("Img_0_FileName"), std::string::npos);  // unset strings are left out

  ParameterSet changed;
  changed.Alpha = 0.25;
  changed.PyramidLevelsFlow = 7;
  changed.Img_0_FileName = "data/left_";
  const std::string path = Ini("dump.ini", Dump(changed));
  ParameterSet reread;
  std::vector<std::string> warnings;
  ASSERT_EQ(LoadParameters(reread, path.c_str(), &warnings), 0);
  EXPECT_EQ(Dump(reread), Dump(changed));
  EXPECT_TRUE(warnings.empty()) << warnings.front();  // every key of the dump is known

  // An empty string is written with nothing before the comment, which reads back as unset.
  changed.SF_U_Final_FileName = "";
  LoadParameters(reread, Ini("empty.ini", Dump(changed)).c_str());
  EXPECT_FALSE(reread.SF_U_Final_FileName.has_value());
}

TEST_F(IniFileTest, UsageListingShowsNullForUnsetStrings) {
  EXPECT_EQ(LoadParameters(parameters_, nullptr), -1);
  const std::string listing = Dump(parameters_);
  EXPECT_NE(listing.find("\nImg_0_FileName = (null) ; image files at time 0\n"), std::string::npos);
  EXPECT_NE(listing.find("\nImgPrefix = png ; images format\n"), std::string::npos);
  EXPECT_EQ(WriteParameters(parameters_, nullptr), -1);
}

TEST(ParameterKeysTest, HoldsEveryKeyOnceInSectionOrder) {
  const auto& keys = ParameterKeys();
  ASSERT_EQ(keys.size(), 104u);
  std::set<std::string> names;
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_TRUE(names.insert(keys[i].name).second) << keys[i].name;
    if (i > 0) {
      EXPECT_LE(keys[i - 1].section, keys[i].section) << keys[i].name;
    }
  }
  EXPECT_STREQ(keys.front().name, "Alpha");
  EXPECT_STREQ(keys.back().name, "Z_CONST");
}

}  // namespace
}  // namespace sceneflow
