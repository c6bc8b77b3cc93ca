#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace sceneflow {

// A string parameter: either unset, or an owned text (which may be empty).
using OptionalString = std::optional<std::string>;

// The whole configuration of a run: 104 typed values in the sections Global, Stereo and SceneFlow.
// Each member is named after its INI key and initialised to its default. The comment above each
// member says what uses it; "read and written only" members drive no computation but are kept so
// that the usage text and the log record every setting.
struct ParameterSet {

  // ---- [Global] ----
  // Fills AlphaSF, AlphaW and AlphaZ when they are -1; nothing else reads it.
  double Alpha = 100;
  // -1 means: take Alpha. Smoothness weight of U and V.
  double AlphaSF = -1;
  // -1 means: take Alpha. Smoothness weight of W (solver).
  double AlphaW = -1;
  // -1 means: take Alpha. Smoothness weight of Z (solver).
  double AlphaZ = -1;
  // Read by the solver directly.
  double MuZ = 1;
  // Handed to the solver as an argument.
  double MuU = 1;
  // Handed to the solver as an argument.
  double MuV = 1;
  // Handed to the solver as an argument.
  double MuW = 1;
  // Handed to the solver; also the factor of the disparity-to-depth conversion.
  double f0ku = 1000;
  // Handed to the solver.
  double f0kv = 1000;
  // -1 means: half the reference image width, integer division; handed to the solver.
  double u0 = -1;
  // -1 means: half the reference image height; handed to the solver.
  double v0 = -1;
  // Factor of the disparity-to-depth conversion.
  double Tx = -2;
  // Read and written only.
  double Ty = 0;
  // Read and written only.
  double Tz = 0;
  // Camera geometry.
  double COPX = 0;
  // Camera geometry.
  double COPY = 0;
  // Camera geometry.
  double COPZ = 0;
  // Read and written only.
  double DISACTIVATION_THRESHOLD_Z = 1.5;
  // A switch held as a double, tested against 0; view warping.
  double Occl_Z = 1;
  // Coupling of the smoothness terms.
  int DIV_UVW = 0;
  // Coupling of the smoothness terms.
  int DIV_UV_ZW = 0;
  // Coupling of the smoothness terms.
  int DIV_UVWZ = 0;
  // Loads the black-line mask named by Zt_initFile during view warping.
  int BLACK_LINE = 0;
  // File extension of the warped images that the solver saves.
  OptionalString IMG_TYPE = std::string("png");
  // Depth clamp of the disparity-to-depth conversion; view warping.
  double maxZ = 950;
  // Number of views; view 0 is the reference. Every per-view array is sized by it.
  int NumOfViews = 2;
  // Solver.
  int MaxIterOuter = 2;
  // Solver.
  double EpsilonOuter = 0.01;
  // Solver.
  int MaxIterInner = 15;
  // Solver.
  double EpsilonInner = 0.05;
  // Solver.
  int MaxIterSOR = 20;
  // Solver.
  double EpsilonSOR = 0.01;
  // Solver.
  double OmegaSOR = 1.6;
  // External stereo program.
  OptionalString StereoExecutable = std::string(".\\bp-vision\\stereo.exe");
  // Stage schedule.
  int PyramidLevelsSF = 4;
  // Stage schedule.
  int PyramidLevelsFlow = 11;
  // Stage schedule.
  int PyramidLevelFinal = 1;
  // Level sizes and level weights.
  double PyramidEta = 0.9;
  // Image conversion before the pyramids.
  int PyramidFloatingPoint = 0;
  // The log.
  OptionalString LogFile = std::string("sf.log");
  // Depth from a disparity.
  int InitStereo = 0;
  // Disparity from the external stereo program.
  int InitStereoBP = 1;
  // Name prefix of the time-0 images.
  OptionalString Img_0_FileName;
  // Name prefix of the time-t images.
  OptionalString Img_t_FileName;
  // File extension of the view images.
  OptionalString ImgPrefix = std::string("png");
  // Name prefix of the intrinsic matrices.
  OptionalString CMat_FileName;
  // Name prefix of the rotations.
  OptionalString RMat_FileName;
  // Name prefix of the translations.
  OptionalString TMat_FileName;
  // Left image for the external stereo program.
  OptionalString Il0_FileName;
  // Read and written only.
  OptionalString Ilt_FileName;
  // Right image for the external stereo program.
  OptionalString Ir0_FileName;
  // Read and written only.
  OptionalString Irt_FileName;
  // Read and written only.
  OptionalString ImagePyramidFileSuffix;
  // Read and written only.
  OptionalString Il0PyramidFilePrefix;
  // Read and written only.
  OptionalString IltPyramidFilePrefix;
  // Read and written only.
  OptionalString Ir0PyramidFilePrefix;
  // Read and written only.
  OptionalString IrtPyramidFilePrefix;
  // Directory of the start and final text matrices.
  OptionalString TxtResultsDir;

  // ---- [Stereo] ----
  // Divisor of a disparity image read from file.
  int D_SCALE = 0;
  // Factor of a depth image read from file.
  int Z0_init_Scale = 10;
  // Disparity image read from file.
  OptionalString ST_D0_initialFileName;
  // Output file of the external stereo program.
  OptionalString ST_D0_Init_Middlebury_FileName = std::string("D0_ST_init_Middlebury.pgm");
  // Read and written only.
  OptionalString ST_Z0_init_FileName;
  // Read and written only.
  OptionalString ST_D0_FileName;
  // Read and written only.
  OptionalString ST_Z0_FileName;
  // Image of the full-size initial depth.
  OptionalString ST_initZ0_FileName;
  // Image of the initial disparity at the coarsest level.
  OptionalString ST_initD0_FileName;

  // ---- [SceneFlow] ----
  // Read and written only.
  OptionalString SF_Dt_Init_FileName;
  // Read and written only.
  OptionalString SF_U_FileName;
  // Read and written only.
  OptionalString SF_V_FileName;
  // Read and written only.
  OptionalString SF_W_FileName;
  // Read and written only.
  OptionalString SF_Z0_FileName;
  // Colour image written by the solver.
  OptionalString SF_D0_FileName;
  // Read and written only.
  OptionalString SF_Dt_FileName;
  // Depth image for the start depth.
  OptionalString SF_Z0_start_init_FileName;
  // Text matrix for the start depth.
  OptionalString SF_Z0_start_Txt_FileName;
  // Image for the start U.
  OptionalString SF_U_start_init_FileName;
  // Text matrix for the start U.
  OptionalString SF_U_start_Txt_FileName;
  // Image for the start V.
  OptionalString SF_V_start_init_FileName;
  // Text matrix for the start V.
  OptionalString SF_V_start_Txt_FileName;
  // Image for the start W.
  OptionalString SF_W_start_init_FileName;
  // Text matrix for the start W.
  OptionalString SF_W_start_Txt_FileName;
  // Read and written only.
  OptionalString SF_disactivated_ref_flow_FileName;
  // Read and written only.
  OptionalString SF_disactivated_flow_FileName;
  // Read and written only.
  OptionalString SF_disactivated_Surf_1_FileName;
  // Read and written only.
  OptionalString SF_disactivated_Surf_2_FileName;
  // Read and written only.
  OptionalString SF_Il0_FileName;
  // Read and written only.
  OptionalString SF_Ilt_FileName;
  // Read and written only.
  OptionalString SF_Ir0_FileName;
  // Read and written only.
  OptionalString SF_Irt_FileName;
  // Name prefix for saving warped time-0 images; unset means no saving.
  OptionalString SF_I0_Warped_FileName;
  // Name prefix for saving warped time-t images; unset means no saving.
  OptionalString SF_It_Warped_FileName;
  // Read and written only.
  OptionalString SF_Irt_Warped_FileName;
  // Colour image of the result U.
  OptionalString SF_U_Final_FileName;
  // Colour image of the result V.
  OptionalString SF_V_Final_FileName;
  // Colour image of the result W.
  OptionalString SF_W_Final_FileName;
  // Read and written only.
  OptionalString SF_Z0_Final_FileName;
  // Black-line mask image read when BLACK_LINE is set.
  OptionalString Zt_initFile;
  // Read and written only.
  int SF_Steps = 0;
  // Constant start U.
  double U_CONST = 0;
  // Constant start V.
  double V_CONST = 0;
  // Constant start W.
  double W_CONST = 0;
  // Constant start depth.
  double Z_CONST = 0;
};

enum class Section { kGlobal, kStereo, kSceneFlow };

// One entry of the key list: where the key lives in an INI file, which member holds it, and the
// description written after it.
struct ParameterKey {
  Section section;
  const char* name;
  std::variant<double ParameterSet::*, int ParameterSet::*, OptionalString ParameterSet::*> member;
  const char* description;
};

// The key list in its fixed order: the order of lookup when loading and of writing.
const std::vector<ParameterKey>& ParameterKeys();

// Section name as written in INI files ("Global", "Stereo", "SceneFlow").
const char* SectionName(Section section);

// Description written after a section header.
const char* SectionDescription(Section section);

}  // namespace sceneflow
