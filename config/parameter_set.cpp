#include "config/parameter_set.h"

namespace sceneflow {

const std::vector<ParameterKey>& ParameterKeys() {
  static const std::vector<ParameterKey> keys = {
    {Section::kGlobal, "Alpha", &ParameterSet::Alpha, "Default weight of regularization term vs. data term"},
    {Section::kGlobal, "AlphaSF", &ParameterSet::AlphaSF, "Weight of secene flow regularization term vs. data term for scene flow "},
    {Section::kGlobal, "AlphaW", &ParameterSet::AlphaW, "Weight of regularization term of W vs. data term for scene flow "},
    {Section::kGlobal, "AlphaZ", &ParameterSet::AlphaZ, "Weight of regularization term of Z vs. data term for scene flow "},
    {Section::kGlobal, "MuZ", &ParameterSet::MuZ, "Weight multiplying |nabla_Z| in regularization"},
    {Section::kGlobal, "MuU", &ParameterSet::MuU, "Weight multiplying |nabla_U| in regularization"},
    {Section::kGlobal, "MuV", &ParameterSet::MuV, "Weight multiplying |nabla_V| in regularization"},
    {Section::kGlobal, "MuW", &ParameterSet::MuW, "Weight multiplying |nabla_W| in regularization"},
    {Section::kGlobal, "f0ku", &ParameterSet::f0ku, "x focal length * scale of the reference camera"},
    {Section::kGlobal, "f0kv", &ParameterSet::f0kv, "y focal length * scale of the reference camera"},
    {Section::kGlobal, "u0", &ParameterSet::u0, "x difference between the camera's and image's center of coordinates system"},
    {Section::kGlobal, "v0", &ParameterSet::v0, "y difference between the camera's and image's center of coordinates system"},
    {Section::kGlobal, "Tx", &ParameterSet::Tx, "x translation between the two cameras"},
    {Section::kGlobal, "Ty", &ParameterSet::Ty, "y translation between the two cameras"},
    {Section::kGlobal, "Tz", &ParameterSet::Tz, "z translation between the two cameras"},
    {Section::kGlobal, "COPX", &ParameterSet::COPX, "center of projection X coordinate"},
    {Section::kGlobal, "COPY", &ParameterSet::COPY, "center of projection Y coordinate"},
    {Section::kGlobal, "COPZ", &ParameterSet::COPZ, "center of projection Z coordinate"},
    {Section::kGlobal, "DISACTIVATION_THRESHOLD_Z", &ParameterSet::DISACTIVATION_THRESHOLD_Z, "threshold for the distance between two 3D points"},
    {Section::kGlobal, "Occl_Z", &ParameterSet::Occl_Z, "if flag=1, any depth that > maxZ is considered occluded."},
    {Section::kGlobal, "DIV_UVW", &ParameterSet::DIV_UVW, "if flag=1 the div of u, v, and w is computed together"},
    {Section::kGlobal, "DIV_UV_ZW", &ParameterSet::DIV_UV_ZW, "if flag=1 the div U,V is computed together and div of Z+w is computed together"},
    {Section::kGlobal, "DIV_UVWZ", &ParameterSet::DIV_UVWZ, "if flag=1 the div of U,V,W and Z is computed together"},
    {Section::kGlobal, "BLACK_LINE", &ParameterSet::BLACK_LINE, "if flag = 1, the black-line occlusion map is loaded for the stereo dataset"},
    {Section::kGlobal, "IMG_TYPE", &ParameterSet::IMG_TYPE, "the saved images type"},
    {Section::kGlobal, "maxZ", &ParameterSet::maxZ, "The maximum allowed initial depth when converting the inital disparity"},
    {Section::kGlobal, "NumOfViews", &ParameterSet::NumOfViews, "Number of views"},
    {Section::kGlobal, "MaxIterOuter", &ParameterSet::MaxIterOuter, "Max number of outer loop iterations"},
    {Section::kGlobal, "EpsilonOuter", &ParameterSet::EpsilonOuter, "Stop criterion for the first fixed point iteration"},
    {Section::kGlobal, "MaxIterInner", &ParameterSet::MaxIterInner, "Max number of inner loop iterations"},
    {Section::kGlobal, "EpsilonInner", &ParameterSet::EpsilonInner, "Stop criterion for the second fixed point iteration in optical flow and scene flow computation"},
    {Section::kGlobal, "MaxIterSOR", &ParameterSet::MaxIterSOR, "Max number of SOR iterations"},
    {Section::kGlobal, "EpsilonSOR", &ParameterSet::EpsilonSOR, "Stop criterion for SOR for Stereo and Optic Flow"},
    {Section::kGlobal, "OmegaSOR", &ParameterSet::OmegaSOR, "OmegaSOR value for scene flow"},
    {Section::kGlobal, "StereoExecutable", &ParameterSet::StereoExecutable, "Path to the executable for stereo initialization"},
    {Section::kGlobal, "PyramidLevelsSF", &ParameterSet::PyramidLevelsSF, "First pyramid level for SceneFlow (U, V, W and Z)"},
    {Section::kGlobal, "PyramidLevelsFlow", &ParameterSet::PyramidLevelsFlow, "Final pyramid level only for the flow U,V and W"},
    {Section::kGlobal, "PyramidLevelFinal", &ParameterSet::PyramidLevelFinal, "Final pyramid level"},
    {Section::kGlobal, "PyramidEta", &ParameterSet::PyramidEta, "Pyramid reduction factor"},
    {Section::kGlobal, "PyramidFloatingPoint", &ParameterSet::PyramidFloatingPoint, "Non-zero for floating point images in the pyramid"},
    {Section::kGlobal, "LogFile", &ParameterSet::LogFile, "Log file name"},
    {Section::kGlobal, "InitStereo", &ParameterSet::InitStereo, "Non-zero for computing the initial depth from initial disparity"},
    {Section::kGlobal, "InitStereoBP", &ParameterSet::InitStereoBP, "Initialize the stereo using external BP-based stereo"},
    {Section::kGlobal, "Img_0_FileName", &ParameterSet::Img_0_FileName, "image files at time 0"},
    {Section::kGlobal, "Img_t_FileName", &ParameterSet::Img_t_FileName, "image files at time t"},
    {Section::kGlobal, "ImgPrefix", &ParameterSet::ImgPrefix, "images format"},
    {Section::kGlobal, "CMat_FileName", &ParameterSet::CMat_FileName, "Calibration matrix main file name"},
    {Section::kGlobal, "RMat_FileName", &ParameterSet::RMat_FileName, "Rotation matrix main file name"},
    {Section::kGlobal, "TMat_FileName", &ParameterSet::TMat_FileName, "Translation matrix main file name"},
    {Section::kGlobal, "Il0_FileName", &ParameterSet::Il0_FileName, "Left image at time 0"},
    {Section::kGlobal, "Ilt_FileName", &ParameterSet::Ilt_FileName, "Left image at time t"},
    {Section::kGlobal, "Ir0_FileName", &ParameterSet::Ir0_FileName, "Right image at time 0"},
    {Section::kGlobal, "Irt_FileName", &ParameterSet::Irt_FileName, "Right image at time t"},
    {Section::kGlobal, "ImagePyramidFileSuffix", &ParameterSet::ImagePyramidFileSuffix, "Image pyramid file suffix"},
    {Section::kGlobal, "Il0PyramidFilePrefix", &ParameterSet::Il0PyramidFilePrefix, ""},
    {Section::kGlobal, "IltPyramidFilePrefix", &ParameterSet::IltPyramidFilePrefix, ""},
    {Section::kGlobal, "Ir0PyramidFilePrefix", &ParameterSet::Ir0PyramidFilePrefix, ""},
    {Section::kGlobal, "IrtPyramidFilePrefix", &ParameterSet::IrtPyramidFilePrefix, ""},
    {Section::kGlobal, "TxtResultsDir", &ParameterSet::TxtResultsDir, "Txt directory of the results"},
    {Section::kStereo, "D_SCALE", &ParameterSet::D_SCALE, ""},
    {Section::kStereo, "Z0_init_Scale", &ParameterSet::Z0_init_Scale, " scale for the initial depth"},
    {Section::kStereo, "ST_D0_initialFileName", &ParameterSet::ST_D0_initialFileName, "Initial D0 from file"},
    {Section::kStereo, "ST_D0_Init_Middlebury_FileName", &ParameterSet::ST_D0_Init_Middlebury_FileName, "Initial disparity estimation in Middlebury format (should be PGM)"},
    {Section::kStereo, "ST_Z0_init_FileName", &ParameterSet::ST_Z0_init_FileName, "Initial z estimation"},
    {Section::kStereo, "ST_D0_FileName", &ParameterSet::ST_D0_FileName, "Final disparity estimation from stereo"},
    {Section::kStereo, "ST_Z0_FileName", &ParameterSet::ST_Z0_FileName, "Final Z estimation from stereo"},
    {Section::kStereo, "ST_initZ0_FileName", &ParameterSet::ST_initZ0_FileName, "initial Z for stereo"},
    {Section::kStereo, "ST_initD0_FileName", &ParameterSet::ST_initD0_FileName, "initial D for stereo"},
    {Section::kSceneFlow, "SF_Dt_Init_FileName", &ParameterSet::SF_Dt_Init_FileName, "Output false color disparity image"},
    {Section::kSceneFlow, "SF_U_FileName", &ParameterSet::SF_U_FileName, ""},
    {Section::kSceneFlow, "SF_V_FileName", &ParameterSet::SF_V_FileName, ""},
    {Section::kSceneFlow, "SF_W_FileName", &ParameterSet::SF_W_FileName, ""},
    {Section::kSceneFlow, "SF_Z0_FileName", &ParameterSet::SF_Z0_FileName, ""},
    {Section::kSceneFlow, "SF_D0_FileName", &ParameterSet::SF_D0_FileName, ""},
    {Section::kSceneFlow, "SF_Dt_FileName", &ParameterSet::SF_Dt_FileName, ""},
    {Section::kSceneFlow, "SF_Z0_start_init_FileName", &ParameterSet::SF_Z0_start_init_FileName, "Initial Z estimation not for sceneflow "},
    {Section::kSceneFlow, "SF_Z0_start_Txt_FileName", &ParameterSet::SF_Z0_start_Txt_FileName, "Initial Z0 estimation from txt file (if SF_Z0_start_init_FileName is NULL) "},
    {Section::kSceneFlow, "SF_U_start_init_FileName", &ParameterSet::SF_U_start_init_FileName, "Initial U estimation for sceneflow "},
    {Section::kSceneFlow, "SF_U_start_Txt_FileName", &ParameterSet::SF_U_start_Txt_FileName, "Initial U estimation from txt file"},
    {Section::kSceneFlow, "SF_V_start_init_FileName", &ParameterSet::SF_V_start_init_FileName, "Initial V estimation for sceneflow "},
    {Section::kSceneFlow, "SF_V_start_Txt_FileName", &ParameterSet::SF_V_start_Txt_FileName, "Initial V estimation from txt file"},
    {Section::kSceneFlow, "SF_W_start_init_FileName", &ParameterSet::SF_W_start_init_FileName, "Initial W estimation for sceneflow "},
    {Section::kSceneFlow, "SF_W_start_Txt_FileName", &ParameterSet::SF_W_start_Txt_FileName, "Initial W estimation from txt file"},
    {Section::kSceneFlow, "SF_disactivated_ref_flow_FileName", &ParameterSet::SF_disactivated_ref_flow_FileName, "Images of disactivated pixels for reference flow"},
    {Section::kSceneFlow, "SF_disactivated_flow_FileName", &ParameterSet::SF_disactivated_flow_FileName, "Images of disactivated pixels for the wraped images flow"},
    {Section::kSceneFlow, "SF_disactivated_Surf_1_FileName", &ParameterSet::SF_disactivated_Surf_1_FileName, "Images of disactivated pixels for stereo at time t"},
    {Section::kSceneFlow, "SF_disactivated_Surf_2_FileName", &ParameterSet::SF_disactivated_Surf_2_FileName, "Image of disactivated pixels for stereo at ti,e t+1"},
    {Section::kSceneFlow, "SF_Il0_FileName", &ParameterSet::SF_Il0_FileName, ""},
    {Section::kSceneFlow, "SF_Ilt_FileName", &ParameterSet::SF_Ilt_FileName, ""},
    {Section::kSceneFlow, "SF_Ir0_FileName", &ParameterSet::SF_Ir0_FileName, ""},
    {Section::kSceneFlow, "SF_Irt_FileName", &ParameterSet::SF_Irt_FileName, ""},
    {Section::kSceneFlow, "SF_I0_Warped_FileName", &ParameterSet::SF_I0_Warped_FileName, ""},
    {Section::kSceneFlow, "SF_It_Warped_FileName", &ParameterSet::SF_It_Warped_FileName, ""},
    {Section::kSceneFlow, "SF_Irt_Warped_FileName", &ParameterSet::SF_Irt_Warped_FileName, ""},
    {Section::kSceneFlow, "SF_U_Final_FileName", &ParameterSet::SF_U_Final_FileName, ""},
    {Section::kSceneFlow, "SF_V_Final_FileName", &ParameterSet::SF_V_Final_FileName, ""},
    {Section::kSceneFlow, "SF_W_Final_FileName", &ParameterSet::SF_W_Final_FileName, ""},
    {Section::kSceneFlow, "SF_Z0_Final_FileName", &ParameterSet::SF_Z0_Final_FileName, ""},
    {Section::kSceneFlow, "Zt_initFile", &ParameterSet::Zt_initFile, ""},
    {Section::kSceneFlow, "SF_Steps", &ParameterSet::SF_Steps, ""},
    {Section::kSceneFlow, "U_CONST", &ParameterSet::U_CONST, "a const value for the initial U"},
    {Section::kSceneFlow, "V_CONST", &ParameterSet::V_CONST, "a const value for the initial V"},
    {Section::kSceneFlow, "W_CONST", &ParameterSet::W_CONST, "a const value for the initial W"},
    {Section::kSceneFlow, "Z_CONST", &ParameterSet::Z_CONST, "a const value for the initial Z"},
  };
  return keys;
}

const char* SectionName(Section section) {
  switch (section) {
    case Section::kGlobal:
      return "Global";
    case Section::kStereo:
      return "Stereo";
    case Section::kSceneFlow:
      return "SceneFlow";
  }
  return "";
}

const char* SectionDescription(Section section) {
  switch (section) {
    case Section::kGlobal:
      return "Global parameters";
    case Section::kStereo:
      return "Stereo computation";
    case Section::kSceneFlow:
      return "Scene flow computation";
  }
  return "";
}

}  // namespace sceneflow
