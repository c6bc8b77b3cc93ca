#include "geometry/masks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "config/input_error.h"
#include "tests/support/temp_dir.h"

namespace sceneflow {
namespace {

// A 6×8 reference grid whose pixels all land outside the view until a test sends some of them
// onto a target; every point sits at (0, 0, 100).
class MarkOcclusionsTest : public ::testing::Test {
 protected:
  MarkOcclusionsTest()
      : map_x_(6, 8, CV_32F, cv::Scalar(-10)), map_y_(6, 8, CV_32F, cv::Scalar(-10)),
        px_(6, 8, CV_32F, cv::Scalar(0)), py_(6, 8, CV_32F, cv::Scalar(0)),
        pz_(6, 8, CV_32F, cv::Scalar(100)), mask_(6, 8, CV_8U, cv::Scalar(0)) {}

  // Reference pixel (y, x) lands on (column, row) with the point at depth z.
  void Land(int y, int x, float column, float row, float z) {
    map_x_.at<float>(y, x) = column;
    map_y_.at<float>(y, x) = row;
    pz_.at<float>(y, x) = z;
  }
  void Mark(const cv::Mat& centre = cv::Mat()) {
    MarkOcclusions(map_x_, map_y_, px_, py_, pz_, centre, occlusion_, mask_);
  }
  int At(int y, int x) const { return mask_.at<uchar>(y, x); }
  int Marked() const { return cv::countNonZero(mask_); }

  cv::Mat map_x_, map_y_, px_, py_, pz_, mask_;
  OcclusionOptions occlusion_;
};

TEST_F(MarkOcclusionsTest, FourNeighboursNeverHideEachOther) {
  Land(2, 2, 5, 3, 100);
  Land(3, 2, 5.4f, 2.6f, 300);  // below the holder, rounds onto the same target
  Land(2, 3, 5, 3, 10);         // right of the holder, far nearer
  Land(3, 3, 5, 3, 300);        // a diagonal neighbour is not spared
  Mark();
  EXPECT_EQ(At(3, 3), kMaskOccluded);
  EXPECT_EQ(Marked(), 1);
}

TEST_F(MarkOcclusionsTest, LaterPixelTakesOverOnlyWhenClearlyNearer) {
  // Later in column-major order (larger column) and nearer by more than the margin: it wins.
  Land(1, 1, 3, 3, 100);
  Land(4, 4, 3, 3, 94);  // 94² = 8836 < 0.9·100² = 9000
  Mark();
  EXPECT_EQ(At(1, 1), kMaskOccluded);
  EXPECT_EQ(At(4, 4), kMaskActive);
  EXPECT_EQ(Marked(), 1);
}

TEST_F(MarkOcclusionsTest, LaterPixelWithinTheMarginIsHidden) {
  for (float z : {100.f, 95.f, 110.f}) {  // equal, nearer within the margin, farther
    mask_.setTo(0);
    Land(1, 1, 3, 3, 100);
    Land(4, 4, 3, 3, z);
    Mark();
    EXPECT_EQ(At(1, 1), kMaskActive) << z;
    EXPECT_EQ(At(4, 4), kMaskOccluded) << z;
  }
}

TEST_F(MarkOcclusionsTest, SameColumnIsVisitedTopDown) {
  // (1, 2) comes before (4, 2): the nearer one visited second takes over.
  Land(1, 2, 6, 2, 100);
  Land(4, 2, 6, 2, 50);
  Mark();
  EXPECT_EQ(At(1, 2), kMaskOccluded);
  EXPECT_EQ(At(4, 2), kMaskActive);
  // In the other order the nearer one holds the target and the later one is hidden.
  mask_.setTo(0);
  Land(1, 2, 6, 2, 50);
  Land(4, 2, 6, 2, 100);
  Mark();
  EXPECT_EQ(At(1, 2), kMaskActive);
  EXPECT_EQ(At(4, 2), kMaskOccluded);
}

TEST_F(MarkOcclusionsTest, LosingHolderKeepsAnEarlierMarkAndWinnersAreNeverChanged) {
  mask_.at<uchar>(1, 1) = 55;  // e.g. the black-line image
  mask_.at<uchar>(4, 5) = 66;
  Land(1, 1, 3, 3, 100);
  Land(4, 5, 3, 3, 50);   // takes over from (1, 1), whose 55 stays
  Land(2, 7, 3, 3, 20);   // takes over from (4, 5), whose 66 stays
  Mark();
  EXPECT_EQ(At(1, 1), 55);
  EXPECT_EQ(At(4, 5), 66);
  EXPECT_EQ(At(2, 7), kMaskActive);
}

TEST_F(MarkOcclusionsTest, ColumnsAreVisitedBeforeRows) {
  // (4, 1) comes before (1, 4) column by column (it would come after row by row): it keeps the
  // target against an equal distance.
  Land(4, 1, 3, 3, 100);
  Land(1, 4, 3, 3, 100);
  Mark();
  EXPECT_EQ(At(4, 1), kMaskActive);
  EXPECT_EQ(At(1, 4), kMaskOccluded);
}

TEST_F(MarkOcclusionsTest, DistancesAreMeasuredFromTheViewCentre) {
  Land(1, 1, 3, 3, 100);
  Land(4, 4, 3, 3, 150);
  // From the origin the later point is farther: it is hidden.
  Mark();
  EXPECT_EQ(At(4, 4), kMaskOccluded);
  // From (0, 0, 200) it is the nearer one.
  mask_.setTo(0);
  Mark((cv::Mat_<double>(3, 1) << 0, 0, 200));
  EXPECT_EQ(At(1, 1), kMaskOccluded);
  EXPECT_EQ(At(4, 4), kMaskActive);
}

TEST_F(MarkOcclusionsTest, AClaimByPixelZeroZeroReadsAsNoClaim) {
  Land(0, 0, 3, 3, 10);
  Land(4, 4, 3, 3, 100);  // farther, but it finds the target unclaimed
  Land(5, 7, 3, 3, 100);  // equal to the new holder: hidden
  Mark();
  EXPECT_EQ(At(0, 0), kMaskActive);
  EXPECT_EQ(At(4, 4), kMaskActive);
  EXPECT_EQ(At(5, 7), kMaskOccluded);
}

TEST_F(MarkOcclusionsTest, TargetsRoundHalvesToEvenAndOutsideTargetsAreSkipped) {
  Land(1, 1, 2.5f, 4.5f, 100);  // rounds to (2, 4)
  Land(3, 5, 1.6f, 3.5f, 100);  // rounds to (2, 4): collides and is hidden
  Land(2, 3, 7.5f, 0, 10);      // rounds to column 8, outside the 8 columns
  Land(2, 6, 7.5f, 0, 100);     // would have lost to the one above
  Land(4, 6, -0.6f, 2, 100);
  Land(5, 6, std::numeric_limits<float>::quiet_NaN(), 2, 100);
  Mark();
  EXPECT_EQ(At(3, 5), kMaskOccluded);
  EXPECT_EQ(Marked(), 1);
}

TEST_F(MarkOcclusionsTest, FarPointsAreSwitchedOffWhileOcclZIsSet) {
  // maxZ 950: the threshold 0.95·950 = 902.5 itself is not below it.
  Land(1, 1, 3, 3, 902.5f);
  Land(2, 2, 4, 4, 902.49f);
  Land(3, 6, 5, 5, std::nextafter(902.5f, 0.f));
  mask_.at<uchar>(4, 1) = 55;
  pz_.at<float>(4, 1) = 2000;  // lands outside, still marked
  Land(4, 6, 3, 3, 1000);  // switched off: claims nothing
  Land(5, 7, 3, 3, 100);   // so this one finds the target of (1, 1) and (4, 6) free
  Mark();
  EXPECT_EQ(At(1, 1), kMaskBeyondDepth);
  EXPECT_EQ(At(2, 2), kMaskActive);
  EXPECT_EQ(At(3, 6), kMaskActive);
  EXPECT_EQ(At(4, 1), kMaskBeyondDepth);
  EXPECT_EQ(At(4, 6), kMaskBeyondDepth);
  EXPECT_EQ(At(5, 7), kMaskActive);

  // With Occl_Z = 0 depth plays no part: the far points compete like any other.
  occlusion_.Occl_Z = 0;
  mask_.setTo(0);
  Mark();
  EXPECT_EQ(cv::countNonZero(mask_ == kMaskBeyondDepth), 0);
  EXPECT_EQ(At(4, 6), kMaskOccluded);  // farther than (1, 1), which holds the target
  EXPECT_EQ(At(1, 1), kMaskOccluded);  // then loses it to the much nearer (5, 7)
  EXPECT_EQ(At(5, 7), kMaskActive);
  EXPECT_EQ(Marked(), 2);
}

TEST(MarkMaskBorderTest, OutermostRowsAndColumnsBecome127) {
  for (cv::Size size : {cv::Size(5, 4), cv::Size(3, 1), cv::Size(1, 3), cv::Size(2, 2)}) {
    cv::Mat mask(size, CV_8U, cv::Scalar(kMaskOccluded));
    MarkMaskBorder(mask);
    for (int r = 0; r < size.height; ++r) {
      for (int c = 0; c < size.width; ++c) {
        const bool border = r == 0 || c == 0 || r == size.height - 1 || c == size.width - 1;
        EXPECT_EQ(mask.at<uchar>(r, c), border ? kMaskOutsideSafeArea : kMaskOccluded) << size << r << c;
      }
    }
  }
}

TEST(BlackLineTest, ResamplesTheImageAndReportsWhatIsMissing) {
  testing::TempDir dir;
  cv::Mat image(16, 20, CV_8U, cv::Scalar(0));
  image.colRange(8, 12).setTo(200);  // a vertical line two mask pixels wide
  const std::string path = dir / "line.png";
  ASSERT_TRUE(cv::imwrite(path, image));
  cv::Mat mask(8, 10, CV_8U, cv::Scalar(3));
  ResampleBlackLine(LoadBlackLineImage(path), mask);
  ASSERT_EQ(mask.size(), cv::Size(10, 8));
  EXPECT_EQ(cv::countNonZero(mask.colRange(4, 6) == 200), 16);
  EXPECT_EQ(cv::countNonZero(mask), 16);

  try {
    LoadBlackLineImage(dir / "absent.png");
    ADD_FAILURE() << "no error";
  } catch (const InputError& error) {
    EXPECT_EQ(std::string(error.what()), "Error: could not load Zt_initFile=" + dir / "absent.png");
  }
  EXPECT_THROW(LoadBlackLineImage(std::nullopt), InputError);
}

}  // namespace
}  // namespace sceneflow
