// The 3D view of sceneflow-export in a browser: the page of the demo scene opened in headless
// Chromium, as a user opens it, and looked at at time 0 and time t.

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "io/text_matrix.h"
#include "tests/support/base64.h"
#include "tests/support/headless_browser.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

using testing::HeadlessBrowser;
using testing::JsonMember;
using testing::JsonText;
using testing::RunProgram;
using testing::TempDir;

const std::string kBin = SCENEFLOW_BIN_DIR;
const cv::Size kImage(320, 240);

// The demo scene (sphere2) with its true depth and motion as the run's results, except that the
// plane behind the sphere is held still (it moves away from the camera, the sphere towards it):
// only the sphere moves between time 0 and time t. Returns where the sphere is in the image.
cv::Mat MakeSphereRun(const TempDir& scene) {
  const auto rendered = RunProgram(kBin + "/sceneflow-synth",
                                   {scene.path(), "--preset", "sphere2", "--supersample", "1"}, scene.path());
  EXPECT_EQ(rendered.status, 0) << rendered.err;
  std::vector<cv::Mat> fields;
  for (const char* name : {"Z", "U", "V", "W"}) {
    fields.emplace_back(kImage, CV_64F);
    EXPECT_TRUE(ReadTextMatrix((scene / "truth/" + name + ".txt").c_str(), fields.back())) << name;
  }
  const cv::Mat sphere = fields[3] < 0;
  for (int i = 1; i <= 3; ++i) fields[i].setTo(0, ~sphere);
  const char* results[] = {"Z0_final.txt", "U_final.txt", "V_final.txt", "W_final.txt"};
  for (int i = 0; i < 4; ++i) {
    FILE* stream = std::fopen((scene / "results/" + results[i]).c_str(), "w");
    WriteTextMatrix(fields[i], stream);
    std::fclose(stream);
  }
  return sphere;
}

cv::Mat DecodePng(const std::string& base64) {
  const std::string bytes = testing::DecodeBase64(base64);
  return cv::imdecode(std::vector<uchar>(bytes.begin(), bytes.end()), cv::IMREAD_COLOR);
}

// Opens page#fragment (or changes the open page's fragment) and returns a screenshot once the
// page shows `time` on its time slider, that is once it has drawn that time.
cv::Mat ShowAt(HeadlessBrowser& browser, const std::string& page, const std::string& fragment, const char* time) {
  browser.Navigate(page + "#" + fragment);
  for (int frames = 0; frames < 20; ++frames) {
    browser.WaitForFrames();
    if (JsonText(browser.Evaluate("document.getElementById('time').value")) == time) break;
  }
  EXPECT_EQ(JsonText(browser.Evaluate("document.getElementById('time').value")), time);
  return DecodePng(browser.ScreenshotBase64());
}

// Where the home view shows the reference image: fitted into the canvas, centred (the scene's
// principal point is the image centre).
cv::Rect ImageOnScreen(HeadlessBrowser& browser) {
  const std::string box = browser.Evaluate(
      "(b => ({x: b.left, y: b.top, width: b.width, height: b.height}))"
      "(document.getElementById('view').getBoundingClientRect())");
  const cv::Rect2d canvas(std::stod(JsonMember(box, "x")), std::stod(JsonMember(box, "y")),
                          std::stod(JsonMember(box, "width")), std::stod(JsonMember(box, "height")));
  const double scale = std::min(canvas.width / kImage.width, canvas.height / kImage.height);
  const cv::Size2d size(kImage.width * scale, kImage.height * scale);
  return cv::Rect(cvRound(canvas.x + (canvas.width - size.width) / 2), cvRound(canvas.y + (canvas.height - size.height) / 2),
                  cvRound(size.width), cvRound(size.height));
}

// Share of the pixels of `region` (non-zero) where the two pictures differ. The page draws
// without smoothing, so equal scenes give equal pictures.
double ChangedShare(const cv::Mat& a, const cv::Mat& b, const cv::Mat& region) {
  cv::Mat difference;
  cv::absdiff(a, b, difference);
  const cv::Mat changed = difference.reshape(1, static_cast<int>(difference.total())) != 0;
  cv::Mat any_channel;
  cv::reduce(changed, any_channel, 1, cv::REDUCE_MAX);
  return static_cast<double>(cv::countNonZero(any_channel.reshape(1, a.rows) & region)) /
         std::max(1, cv::countNonZero(region));
}

double Correlation(const cv::Mat& a, const cv::Mat& b) {
  cv::Mat score;
  cv::matchTemplate(a, b, score, cv::TM_CCOEFF_NORMED);
  return score.at<float>(0, 0);
}

TEST(ViewerPage, DemoSceneDrawsItsPointsAndMovesOnlyTheSphere) {
  TempDir scene;
  const cv::Mat sphere = MakeSphereRun(scene);
  const std::string page = scene / "view.html";
  const auto exported = RunProgram(kBin + "/sceneflow-export", {scene.path(), "--ini", "scene.ini", "--html", page},
                                   scene.path());
  ASSERT_EQ(exported.status, 0) << exported.err;

  HeadlessBrowser browser(1000, 700);
  browser.Open("file://" + page + "#t=0");
  const cv::Mat time_0 = ShowAt(browser, "file://" + page, "t=0", "0");
  const cv::Mat time_t = ShowAt(browser, "file://" + page, "t=1", "1");
  const cv::Mat time_0_again = ShowAt(browser, "file://" + page, "t=0", "0");
  EXPECT_NE(JsonText(browser.Evaluate("document.title")).find(std::filesystem::path(scene.path()).filename().string()),
            std::string::npos);
  const std::string caption = JsonText(browser.Evaluate("document.getElementById('caption').textContent"));
  EXPECT_NE(caption.find("76,800 points"), std::string::npos) << caption;
  EXPECT_NE(caption.find("units of the scene"), std::string::npos) << caption;
  const cv::Rect image = ImageOnScreen(browser);
  EXPECT_EQ(browser.ConsoleErrors(), std::vector<std::string>());
  ASSERT_FALSE(time_0.empty());
  ASSERT_EQ(time_0.size(), time_t.size());
  ASSERT_TRUE((cv::Rect(0, 0, time_0.cols, time_0.rows) & image) == image) << image;

  // At home the view looks through the reference camera: its picture is the reference image.
  cv::Mat reference = cv::imread(scene / "img0_0.png", cv::IMREAD_GRAYSCALE), seen;
  cv::resize(reference, reference, image.size(), 0, 0, cv::INTER_LINEAR);
  cv::cvtColor(time_0(image), seen, cv::COLOR_BGR2GRAY);
  EXPECT_GT(Correlation(seen, reference), 0.8);

  // Between time 0 and time t the picture changes on the sphere, away from its outline, and
  // nowhere on the plane; back at time 0 it is the same picture again.
  cv::Mat on_screen;
  cv::resize(sphere, on_screen, image.size(), 0, 0, cv::INTER_NEAREST);
  const cv::Mat margin = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(31, 31));
  cv::Mat sphere_inside, plane_away;
  cv::erode(on_screen, sphere_inside, margin);
  cv::erode(~on_screen, plane_away, margin);
  EXPECT_GT(ChangedShare(time_0(image), time_t(image), sphere_inside), 0.5);
  EXPECT_LT(ChangedShare(time_0(image), time_t(image), plane_away), 0.002);
  EXPECT_EQ(ChangedShare(time_0(image), time_0_again(image), cv::Mat(image.size(), CV_8U, cv::Scalar(255))), 0.0);
}

}  // namespace
}  // namespace sceneflow
