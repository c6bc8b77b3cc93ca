// sceneflow-export end to end: a hand-made run folder with known fields, every format read back
// with readers written here from the formats' definitions.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "io/text_matrix.h"
#include "tests/support/base64.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

using testing::ProgramResult;
using testing::ReadFile;
using testing::RunProgram;
using testing::TempDir;
using testing::WriteFile;

const std::string kExport = std::string(SCENEFLOW_BIN_DIR) + "/sceneflow-export";

// The run: 8×6 images (the user's originals were 16×12, resized by 0.5), results on level 2 of a
// pyramid with factor 0.5 (4×3), reference camera f 10, principal point at the image centre (4, 3).
// Depth 20, motion (2, −1, 0) except: grid pixel (0, 0) moves to behind the camera at time t
// (W −25), (3, 2) moves away (W +20), and (1, 2) is beyond 0.95·maxZ (no surface).
void WriteMatrix(const std::string& path, const cv::Mat& field) {
  FILE* stream = std::fopen(path.c_str(), "w");
  ASSERT_NE(stream, nullptr);
  WriteTextMatrix(field, stream);
  std::fclose(stream);
}

void MakeRun(const TempDir& run) {
  namespace fs = std::filesystem;
  fs::create_directories(run / "images");
  fs::create_directories(run / "calib");
  fs::create_directories(run / "results");
  const cv::Mat image(6, 8, CV_8UC3, cv::Scalar(10, 20, 30));  // BGR
  ASSERT_TRUE(cv::imwrite(run / "images/img0_0.png", image));
  WriteFile(run / "calib/C0.txt", "10 0 4\n0 10 3\n0 0 1\n");
  WriteFile(run / "calib/R0.txt", "1 0 0\n0 1 0\n0 0 1\n");
  WriteFile(run / "calib/T0.txt", "0\n0\n0\n");
  WriteFile(run / "run.ini",
            "[Global]\nNumOfViews = 1\nImg_0_FileName = images/img0_\nImg_t_FileName = images/imgt_\n"
            "ImgPrefix = png\nCMat_FileName = calib/C\nRMat_FileName = calib/R\nTMat_FileName = calib/T\n"
            "f0ku = 10\nf0kv = 10\nmaxZ = 950\nTxtResultsDir = results\nPyramidLevelFinal = 2\nPyramidEta = 0.5\n");
  WriteFile(run / "prepared.txt",
            "form kitti\nframe 000007\nwidth 8\nheight 6\noriginal_width 16\noriginal_height 12\nscale 0.5\n"
            "focal 10\ncx 4\ncy 3\nbaseline 0.5\ndoffs 0\ninit stereo\nsome_future_key 3\n");
  cv::Mat z(3, 4, CV_64F, cv::Scalar(20)), u(3, 4, CV_64F, cv::Scalar(2)), v(3, 4, CV_64F, cv::Scalar(-1)),
      w(3, 4, CV_64F, cv::Scalar(0));
  w.at<double>(0, 0) = -25;
  w.at<double>(2, 3) = 20;
  z.at<double>(2, 1) = 1000;
  WriteMatrix(run / "results/Z0_final.txt", z);
  WriteMatrix(run / "results/U_final.txt", u);
  WriteMatrix(run / "results/V_final.txt", v);
  WriteMatrix(run / "results/W_final.txt", w);
}

struct Ply {
  std::string header;
  int vertices = -1;
  std::vector<char> body;
};

Ply ReadPly(const std::string& path) {
  const std::string text = ReadFile(path);
  Ply ply;
  const size_t end = text.find("end_header\n");
  if (end == std::string::npos) return ply;
  ply.header = text.substr(0, end);
  std::istringstream lines(ply.header);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("element vertex ", 0) == 0) ply.vertices = std::stoi(line.substr(15));
  }
  ply.body.assign(text.begin() + end + 11, text.end());
  return ply;
}

template <typename T>
T At(const std::vector<char>& bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// The value of `key` in the 3D view's scene description, which holds one "key":value per line.
std::string SceneField(const std::string& page, const std::string& key) {
  const std::string start = "\n\"" + key + "\":";
  const size_t at = page.find(start);
  if (at == std::string::npos) return "";
  const size_t from = at + start.size();
  std::string value = page.substr(from, page.find('\n', from) - from);
  if (!value.empty() && value.back() == ',') value.pop_back();
  return value;
}

cv::Vec3d SceneVector(const std::string& page, const std::string& key) {
  cv::Vec3d vector(0, 0, 0);
  std::sscanf(SceneField(page, key).c_str(), "[%lf,%lf,%lf]", &vector[0], &vector[1], &vector[2]);
  return vector;
}

std::string SceneBytes(const std::string& page, const std::string& key) {
  const std::string field = SceneField(page, key);
  return testing::DecodeBase64(field.substr(1, field.size() - 2));
}

TEST(Export, EveryFormatReadsBackWithTheRunsValues) {
  TempDir run, out;
  MakeRun(run);
  const ProgramResult result =
      RunProgram(kExport, {run.path(), "--ply", out / "cloud.ply", "--ply-t", out / "cloud_t.ply", "--flo",
                           out / "flow.flo", "--pfm", out / "pfm", "--kitti", out / "kitti", "--pictures",
                           out / "pictures", "--html", out / "view.html"},
                 out.path());
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");

  // PLY: 11 surface pixels (one beyond 0.95·maxZ); x y z float, colour, U V W float: 27 bytes each.
  const Ply cloud = ReadPly(out / "cloud.ply");
  EXPECT_NE(cloud.header.find("format binary_little_endian 1.0"), std::string::npos);
  EXPECT_NE(cloud.header.find("property uchar red"), std::string::npos);
  EXPECT_NE(cloud.header.find("property float W"), std::string::npos);
  ASSERT_EQ(cloud.vertices, 11);
  ASSERT_EQ(cloud.body.size(), 11u * 27);
  // First vertex, grid pixel (0, 0) at level factor 0.5: x = (0 − 2)·20/5, y = (0 − 1.5)·20/5.
  EXPECT_FLOAT_EQ(At<float>(cloud.body, 0), -8.0f);
  EXPECT_FLOAT_EQ(At<float>(cloud.body, 4), -6.0f);
  EXPECT_FLOAT_EQ(At<float>(cloud.body, 8), 20.0f);
  EXPECT_EQ(At<uint8_t>(cloud.body, 12), 30);  // red
  EXPECT_EQ(At<uint8_t>(cloud.body, 14), 10);  // blue
  EXPECT_FLOAT_EQ(At<float>(cloud.body, 15), 2.0f);
  EXPECT_FLOAT_EQ(At<float>(cloud.body, 23), -25.0f);
  // At time t, pixel (0, 0) lies behind the camera as well: 10 points without motion properties.
  const Ply moved = ReadPly(out / "cloud_t.ply");
  EXPECT_EQ(moved.header.find("property float U"), std::string::npos);
  ASSERT_EQ(moved.vertices, 10);
  EXPECT_EQ(moved.body.size(), 10u * 15);

  // .flo at the original 16×12 size in original pixels: 0.5 grid pixels = 2 original pixels.
  const std::string flo_text = ReadFile(out / "flow.flo");
  const std::vector<char> flo(flo_text.begin(), flo_text.end());
  ASSERT_EQ(flo.size(), 12u + 16 * 12 * 8);
  EXPECT_EQ(flo_text.substr(0, 4), "PIEH");
  EXPECT_EQ(At<float>(flo, 0), 202021.25f);
  EXPECT_EQ(At<int32_t>(flo, 4), 16);
  EXPECT_EQ(At<int32_t>(flo, 8), 12);
  const size_t pixel_10_5 = 12 + (5 * 16 + 10) * 8;
  EXPECT_NEAR(At<float>(flo, pixel_10_5), 2.0f, 1e-5);
  EXPECT_NEAR(At<float>(flo, pixel_10_5 + 4), -1.0f, 1e-5);
  EXPECT_GT(At<float>(flo, 12), 1e9f);  // pixel (0, 0): unknown

  // PFM: scale −1 (little-endian), rows stored from the bottom up.
  const std::string pfm = ReadFile(out / "pfm/Z.pfm");
  ASSERT_EQ(pfm.substr(0, 12), "Pf\n4 3\n-1.0\n");
  const std::vector<char> z_values(pfm.begin() + 12, pfm.end());
  ASSERT_EQ(z_values.size(), 12u * 4);
  EXPECT_EQ(At<float>(z_values, 4), 1000.0f);  // bottom row (y 2), x 1
  EXPECT_EQ(At<float>(z_values, 8 * 4 + 4), 20.0f);
  // Disparity at the original size: (focal/scale)·baseline/Z = 20·0.5/20.
  const std::string disparity = ReadFile(out / "pfm/disparity.pfm");
  ASSERT_EQ(disparity.substr(0, 14), "Pf\n16 12\n-1.0\n");
  EXPECT_FLOAT_EQ(At<float>(std::vector<char>(disparity.begin() + 14, disparity.end()), 0), 0.5f);

  // KITTI: disparity·256 with 0 invalid; flow·64 + 2^15 with a validity channel.
  const cv::Mat disp_0 = cv::imread(out / "kitti/disp_0/000007_10.png", cv::IMREAD_UNCHANGED);
  const cv::Mat disp_1 = cv::imread(out / "kitti/disp_1/000007_10.png", cv::IMREAD_UNCHANGED);
  const cv::Mat flow = cv::imread(out / "kitti/flow/000007_10.png", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(disp_0.type(), CV_16U);
  ASSERT_EQ(disp_1.type(), CV_16U);
  ASSERT_EQ(flow.type(), CV_16UC3);
  ASSERT_EQ(disp_0.size(), cv::Size(16, 12));
  ASSERT_EQ(flow.size(), cv::Size(16, 12));
  EXPECT_EQ(disp_0.at<uint16_t>(5, 10), 128);
  EXPECT_EQ(disp_0.at<uint16_t>(11, 15), 128);
  EXPECT_EQ(disp_1.at<uint16_t>(11, 15), 64);  // depth 40 at time t
  EXPECT_EQ(disp_1.at<uint16_t>(1, 1), 0);     // behind the camera at time t
  using Pixel16 = cv::Vec<uint16_t, 3>;  // blue (validity), green (v), red (u)
  const Pixel16 valid = flow.at<Pixel16>(5, 10);
  EXPECT_EQ(valid[2], 32768 + 2 * 64);
  EXPECT_EQ(valid[1], 32768 - 64);
  EXPECT_EQ(valid[0], 1);
  EXPECT_EQ(flow.at<Pixel16>(1, 1), Pixel16(0, 0, 0));

  // The 3D view: the PLY's 11 points, each position and motion as int16 steps of its scale.
  const std::string page = ReadFile(out / "view.html");
  EXPECT_EQ(page.find("{{"), std::string::npos);
  EXPECT_NE(page.find("<title>" + std::filesystem::path(run.path()).filename().string()), std::string::npos);
  EXPECT_EQ(SceneField(page, "points"), "11");
  EXPECT_EQ(SceneField(page, "units"), "\"metres\"");
  const std::string positions = SceneBytes(page, "positions"), motion = SceneBytes(page, "motion"),
                    colours = SceneBytes(page, "colours");
  ASSERT_EQ(positions.size(), 11u * 3 * 2);
  ASSERT_EQ(motion.size(), 11u * 3 * 2);
  ASSERT_EQ(colours.size(), 11u * 3);
  EXPECT_EQ(SceneBytes(page, "segments").size(), 11u * 4);
  const cv::Vec3d centre = SceneVector(page, "centre"), half_extent = SceneVector(page, "halfExtent");
  const double motion_scale = std::stod(SceneField(page, "motionScale"));
  const std::vector<char> position_bytes(positions.begin(), positions.end()), motion_bytes(motion.begin(), motion.end());
  const cv::Vec3d first_point(-8, -6, 20), first_motion(2, -1, -25);
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_NEAR(centre[axis] + half_extent[axis] * At<int16_t>(position_bytes, 2 * axis) / 32767.0,
                first_point[axis], half_extent[axis] / 32767.0);
    EXPECT_NEAR(motion_scale * At<int16_t>(motion_bytes, 2 * axis) / 32767.0, first_motion[axis], motion_scale / 32767.0);
  }
  EXPECT_EQ(colours.substr(0, 3), std::string({30, 20, 10}));  // red, green, blue

  for (const char* picture : {"Z.png", "W.png", "flow.png"}) {
    EXPECT_EQ(cv::imread(out / ("pictures/" + std::string(picture))).size(),
              std::string(picture) == "flow.png" ? cv::Size(16, 12) : cv::Size(4, 3))
        << picture;
  }
}

// --start: the start values the INI names, on the grid of images/ (8×6) whatever the final level.
// Depth 10 (one number fills the field) and U 1 give a disparity of 20·0.5/10 = 1 original pixel
// and a flow of 10·1/10 = 1 pixel of images/, 2 original pixels.
TEST(Export, StartValuesInsteadOfTheFinalFields) {
  TempDir run, out;
  MakeRun(run);
  std::filesystem::create_directories(run / "start");
  WriteFile(run / "start/Z0.txt", "10\n");
  WriteMatrix(run / "start/U.txt", cv::Mat(6, 8, CV_64F, cv::Scalar(1)));
  WriteFile(run / "run.ini", ReadFile(run / "run.ini") +
                                 "[SceneFlow]\nSF_Z0_start_Txt_FileName = start/Z0.txt\n"
                                 "SF_U_start_Txt_FileName = start/U.txt\n");
  const ProgramResult result = RunProgram(kExport, {run.path(), "--start", "--kitti", out / "kitti"}, out.path());
  ASSERT_EQ(result.status, 0) << result.err;
  const cv::Mat disp_0 = cv::imread(out / "kitti/disp_0/000007_10.png", cv::IMREAD_UNCHANGED);
  const cv::Mat flow = cv::imread(out / "kitti/flow/000007_10.png", cv::IMREAD_UNCHANGED);
  ASSERT_EQ(disp_0.size(), cv::Size(16, 12));
  ASSERT_EQ(flow.size(), cv::Size(16, 12));
  EXPECT_EQ(disp_0.at<uint16_t>(0, 0), 256);
  EXPECT_EQ(disp_0.at<uint16_t>(11, 15), 256);
  EXPECT_EQ(flow.at<cv::Vec3w>(5, 10), cv::Vec3w(1, 32768, 32768 + 2 * 64));

  std::filesystem::remove(run / "start/Z0.txt");
  const ProgramResult missing = RunProgram(kExport, {run.path(), "--start", "--kitti", out / "again"}, out.path());
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(testing::CountLines(missing.err), 1) << missing.err;
  EXPECT_NE(missing.err.find("start/Z0.txt"), std::string::npos) << missing.err;
}

TEST(Export, MissingResultsEndWithOneLine) {
  TempDir run;
  MakeRun(run);
  std::filesystem::remove(run / "results/W_final.txt");
  const ProgramResult result = RunProgram(kExport, {run.path(), "--ply", run / "cloud.ply"}, run.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(testing::CountLines(result.err), 1) << result.err;
  EXPECT_NE(result.err.find("W_final.txt"), std::string::npos) << result.err;
  EXPECT_FALSE(std::filesystem::exists(run / "cloud.ply"));

  const ProgramResult help = RunProgram(kExport, {"--help"}, run.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage:"), std::string::npos);
}

// A page whose place is taken by a folder: one line, and no temporary file left beside it.
TEST(Export, UnwritablePageEndsWithOneLine) {
  TempDir run;
  MakeRun(run);
  std::filesystem::create_directories(run / "taken/view.html");
  const ProgramResult result = RunProgram(kExport, {run.path(), "--html", run / "taken/view.html"}, run.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(testing::CountLines(result.err), 1) << result.err;
  EXPECT_NE(result.err.find("cannot write"), std::string::npos) << result.err;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(run / "taken"), {}), 1);
}

}  // namespace
}  // namespace sceneflow
