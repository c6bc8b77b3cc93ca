// prepared.txt, the run folder's description: written by sceneflow-prepare, read by the
// evaluation and the export through the one reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/input_error.h"
#include "tests/support/temp_dir.h"
#include "tools/common/prepared_file.h"

namespace sceneflow::tools {
namespace {

using testing::TempDir;
using testing::WriteFile;

TEST(PreparedFile, WrittenAndReadBackWithExactValues) {
  PreparedFile written;
  written.form = "kitti";
  written.frame = "000010";
  written.size = cv::Size(621, 188);
  written.original_size = cv::Size(1242, 375);
  written.scale = 0.5;
  written.focal = 360.7835;
  written.cx = 304.5;
  written.cy = 86.25;
  written.baseline = 0.5327119288;
  written.doffs = 0;
  written.init = "pipeline";
  written.photometric = "match";
  written.views = 2;
  const std::string text = PreparedFileText(written);
  EXPECT_EQ(text,
            "form kitti\nframe 000010\nwidth 621\nheight 188\noriginal_width 1242\noriginal_height 375\n"
            "scale 0.5\nfocal 360.7835\ncx 304.5\ncy 86.25\nbaseline 0.5327119288\ndoffs 0\ninit pipeline\n"
            "photometric match\nviews 2\n");

  TempDir dir;
  WriteFile(dir / kPreparedFile, text + "some_future_key 3\n");
  const PreparedFile read = ReadPreparedFile(dir / kPreparedFile);
  EXPECT_EQ(read.form, "kitti");
  EXPECT_EQ(read.frame, "000010");
  EXPECT_EQ(read.size, written.size);
  EXPECT_EQ(read.original_size, written.original_size);
  EXPECT_EQ(read.scale, 0.5);
  EXPECT_EQ(read.focal, 360.7835);
  EXPECT_EQ(read.cx, 304.5);
  EXPECT_EQ(read.cy, 86.25);
  EXPECT_EQ(read.baseline, 0.5327119288);
  EXPECT_EQ(read.init, "pipeline");
  EXPECT_EQ(read.photometric, "match");
  EXPECT_EQ(read.views, 2u);
  EXPECT_EQ(read.keys.at("some_future_key"), "3");
}

TEST(PreparedFile, DefaultsForTheOptionalKeysAndOneLineForEachProblem) {
  TempDir dir;
  const std::string path = dir / kPreparedFile;
  WriteFile(path, "width 40\nheight 30\nfocal 50\nscale 0.5\n");
  const PreparedFile read = ReadPreparedFile(path);
  EXPECT_EQ(read.original_size, cv::Size(80, 60));
  EXPECT_EQ(read.cx, 20);
  EXPECT_EQ(read.cy, 15);
  EXPECT_EQ(read.baseline, 0);

  const auto message = [&](const std::string& text) {
    WriteFile(path, text);
    try {
      ReadPreparedFile(path);
    } catch (const InputError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message("width 40\nheight 30\n"), "Error: " + path + " has no focal");
  EXPECT_EQ(message("width 40\nheight 30\nfocal 5x\n"), "Error: " + path + ": focal \"5x\" is not a number");
  EXPECT_EQ(message("width 40.5\nheight 30\nfocal 5\n"),
            "Error: " + path + ": width must be a whole number of pixels, not 40.5");
  EXPECT_EQ(message("width 0\nheight 30\nfocal 5\n"), "Error: " + path + ": width must be from 1 to 1000000 pixels");
  EXPECT_EQ(message("width 40\nheight 30\nfocal 5\nscale 0\n"), "Error: " + path + ": scale must be above 0");
  EXPECT_EQ(message("width 40\nheight 30\nfocal 5\nviews -1\n"),
            "Error: " + path + ": views \"-1\" is not a number of views");
  EXPECT_EQ(message("width 40\n"), "Error: " + path + " has no height");
  std::filesystem::remove(path);
  try {
    ReadPreparedFile(path);
    ADD_FAILURE() << "a missing file was read";
  } catch (const InputError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Error: cannot read " + path + " (not a folder made by sceneflow-prepare?)");
  }
}

}  // namespace
}  // namespace sceneflow::tools
