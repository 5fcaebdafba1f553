// Viewer geometry and information text: fit and stretch, truncation, pan strips, zoom.
#include "viewer/image_info.h"
#include "viewer/view_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

namespace kdz {

void PrintTo(const ViewRect& r, std::ostream* os) {
  *os << "(" << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ")";
}

namespace {

// A window of the given size somewhere on the screen: only its extent matters.
ViewRect Window(int32_t width, int32_t height) {
  return ViewRect{37, 91, 37 + width, 91 + height};
}

TEST(ViewStatePaint, ImageLargerThanWindowShrinksByTheDirectionExceedingMore) {
  {
    // Excesses -200 (width) and -100 (height): the width rule.
    ViewState state;
    PaintPlan plan = PlanPaint(state, Window(200, 200), 400, 300);
    EXPECT_TRUE(plan.draw);
    EXPECT_EQ(state.autoScale, 0.5);
    EXPECT_EQ(state.displayWidth, 400);
    EXPECT_EQ(state.displayHeight, 300);
    EXPECT_EQ(plan.destWidth, 200);
    EXPECT_EQ(plan.destHeight, 150);
    EXPECT_EQ(plan.srcWidth, 400);
    EXPECT_EQ(plan.srcHeight, 300);
    EXPECT_EQ(plan.originX, 0);
    EXPECT_EQ(plan.originY, 0);
    EXPECT_EQ(plan.eraseCount, 0);
  }
  {
    // Too wide only: the height excess is positive.
    ViewState state;
    PaintPlan plan = PlanPaint(state, Window(200, 400), 400, 100);
    EXPECT_EQ(state.autoScale, 0.5);
    EXPECT_EQ(plan.destWidth, 200);
    EXPECT_EQ(plan.destHeight, 50);
  }
  {
    // Too tall only.
    ViewState state;
    PaintPlan plan = PlanPaint(state, Window(500, 100), 300, 400);
    EXPECT_EQ(state.autoScale, 0.25);
    EXPECT_EQ(plan.destWidth, 75);
    EXPECT_EQ(plan.destHeight, 100);
  }
}

TEST(ViewStatePaint, EqualExcessesTakeTheHeightRule) {
  {
    ViewState state;
    PaintPlan plan = PlanPaint(state, Window(200, 200), 400, 400);
    EXPECT_EQ(state.autoScale, 0.5);
    EXPECT_EQ(plan.destWidth, 200);
    EXPECT_EQ(plan.destHeight, 200);
  }
  {
    // Both excesses -100; the width rule would draw 300 x 225.
    ViewState state;
    PaintPlan plan = PlanPaint(state, Window(300, 200), 400, 300);
    EXPECT_EQ(state.autoScale, 200.0 / 300.0);
    EXPECT_EQ(plan.destWidth, 266);
    EXPECT_EQ(plan.destHeight, 200);
  }
}

TEST(ViewStatePaint, DrawnExtentsAreTruncatedProducts) {
  // 22 x (15 / 22) is 14.999999999999998 in double precision: drawn 14 wide, not 15.
  ViewState state;
  PaintPlan plan = PlanPaint(state, Window(15, 100), 22, 10);
  EXPECT_EQ(state.autoScale, 15.0 / 22.0);
  EXPECT_EQ(plan.destWidth, 14);
  EXPECT_EQ(plan.destHeight, 6);  // 6.81...
}

TEST(ViewStatePaint, ImageThatFitsIsStretchedByTheLastAutomaticScale) {
  ViewState state;
  PaintPlan plan = PlanPaint(state, Window(300, 200), 100, 100);
  EXPECT_EQ(state.displayWidth, 300);
  EXPECT_EQ(state.displayHeight, 200);
  EXPECT_EQ(plan.destWidth, 300);
  EXPECT_EQ(plan.destHeight, 200);
  EXPECT_EQ(plan.srcWidth, 100);
  EXPECT_EQ(plan.srcHeight, 100);

  // A window exactly the image's size counts as holding it.
  plan = PlanPaint(state, Window(100, 100), 100, 100);
  EXPECT_EQ(plan.destWidth, 100);
  EXPECT_EQ(plan.destHeight, 100);

  // A large image in another window sets the shared factor; it then also applies to
  // an image that fits its window.
  PlanPaint(state, Window(200, 200), 400, 300);
  plan = PlanPaint(state, Window(300, 200), 100, 100);
  EXPECT_EQ(state.autoScale, 0.5);
  EXPECT_EQ(plan.destWidth, 150);
  EXPECT_EQ(plan.destHeight, 100);
}

TEST(ViewStatePaint, WindowExtentIsTakenAsSigned16Bit) {
  ViewState state;
  PaintPlan plan = PlanPaint(state, ViewRect{0, 0, 65536 + 300, 200}, 100, 100);
  EXPECT_EQ(plan.destWidth, 300);
  EXPECT_EQ(plan.destHeight, 200);
}

TEST(ViewStatePaint, ImageWithoutPixelsDrawsNothingAndKeepsTheScale) {
  ViewState state;
  state.autoScale = 0.75;
  state.exposedRight = ViewRect{10, 0, 20, 30};
  PaintPlan plan = PlanPaint(state, Window(200, 200), 0, 100);
  EXPECT_FALSE(plan.draw);
  EXPECT_EQ(state.autoScale, 0.75);
  EXPECT_EQ(plan.eraseCount, 1);
  EXPECT_FALSE(IsPending(state.exposedRight));
}

TEST(ViewStateZoom, UserScaleMultipliesTheDrawnExtentAndZoomResetsThePan) {
  ViewState state;
  state.panX = 12.5;
  state.panY = 7.0;
  Enlarge(state);
  EXPECT_EQ(state.userScale, 2.0);
  EXPECT_EQ(state.panX, 0.0);
  EXPECT_EQ(state.panY, 0.0);

  // Larger than the window: the part outside is clipped by the platform.
  PaintPlan plan = PlanPaint(state, Window(200, 200), 400, 300);
  EXPECT_EQ(plan.destWidth, 400);
  EXPECT_EQ(plan.destHeight, 300);

  Reduce(state);
  Reduce(state);
  state.panX = 30.0;
  Reduce(state);
  EXPECT_EQ(state.userScale, 0.25);
  EXPECT_EQ(state.panX, 0.0);
  plan = PlanPaint(state, Window(200, 200), 400, 300);
  EXPECT_EQ(plan.destWidth, 50);
  EXPECT_EQ(plan.destHeight, 37);  // 37.5

  Enlarge(state);
  Enlarge(state);
  plan = PlanPaint(state, Window(200, 200), 400, 300);
  EXPECT_EQ(state.userScale, 1.0);
  EXPECT_EQ(plan.destWidth, 200);
  EXPECT_EQ(plan.destHeight, 150);
}

TEST(ViewStateZoom, ExtremeZoomSaturatesInsteadOfOverflowing) {
  ViewState state;
  for (int i = 0; i < 40; ++i) Enlarge(state);
  PaintPlan plan = PlanPaint(state, Window(64, 48), 64, 48);
  EXPECT_EQ(plan.destWidth, 2147483647);
  EXPECT_EQ(plan.destHeight, 2147483647);
  for (int i = 0; i < 80; ++i) Reduce(state);
  plan = PlanPaint(state, Window(64, 48), 64, 48);
  EXPECT_EQ(plan.destWidth, 0);
  EXPECT_EQ(plan.destHeight, 0);
}

TEST(ViewStatePan, ClickUncoversStripsRightAndBelowAndShiftsThePicture) {
  ViewState state;
  const ViewRect window = Window(300, 200);
  Pan(state, window, 200, 150, 50, 20);
  EXPECT_EQ(state.exposedRight, (ViewRect{150, 0, 202, 200}));
  EXPECT_EQ(state.exposedBelow, (ViewRect{0, 130, 300, 152}));
  EXPECT_EQ(state.panX, 50.0);
  EXPECT_EQ(state.panY, 20.0);

  PaintPlan plan = PlanPaint(state, window, 200, 150);
  ASSERT_EQ(plan.eraseCount, 2);
  EXPECT_EQ(plan.erase[0], (ViewRect{150, 0, 202, 200}));
  EXPECT_EQ(plan.erase[1], (ViewRect{0, 130, 300, 152}));
  EXPECT_EQ(plan.originX, -50);
  EXPECT_EQ(plan.originY, -20);
  EXPECT_EQ(plan.destWidth, 300);  // stretched to the window
  EXPECT_EQ(plan.destHeight, 200);

  // The strips are erased once; the paint they cause draws with the same offset.
  plan = PlanPaint(state, window, 200, 150);
  EXPECT_EQ(plan.eraseCount, 0);
  EXPECT_EQ(plan.originX, -50);
  EXPECT_EQ(plan.originY, -20);
}

TEST(ViewStatePan, ClickLeftOfOrAboveTheOffsetLeavesThatStripEmpty) {
  ViewState state;
  const ViewRect window = Window(300, 200);
  Pan(state, window, 200, 150, 50, 20);
  PlanPaint(state, window, 200, 150);

  // Left of the offset, below it.
  Pan(state, window, 200, 150, 30, 40);
  EXPECT_FALSE(IsPending(state.exposedRight));
  EXPECT_EQ(state.exposedBelow, (ViewRect{0, 110, 300, 132}));
  EXPECT_EQ(state.panX, 30.0);
  EXPECT_EQ(state.panY, 40.0);
  PlanPaint(state, window, 200, 150);

  // Above the offset, right of it.
  Pan(state, window, 200, 150, 60, 10);
  EXPECT_EQ(state.exposedRight, (ViewRect{140, 0, 172, 200}));
  EXPECT_FALSE(IsPending(state.exposedBelow));
  PlanPaint(state, window, 200, 150);

  // The top-left corner puts the picture back in place and uncovers nothing.
  Pan(state, window, 200, 150, 0, 0);
  EXPECT_FALSE(IsPending(state.exposedRight));
  EXPECT_FALSE(IsPending(state.exposedBelow));
  EXPECT_EQ(state.panX, 0.0);
  EXPECT_EQ(state.panY, 0.0);
  PaintPlan plan = PlanPaint(state, window, 200, 150);
  EXPECT_EQ(plan.eraseCount, 0);
  EXPECT_EQ(plan.originX, 0);
  EXPECT_EQ(plan.originY, 0);
}

TEST(ViewStatePan, ClickIsScaledByBothScales) {
  ViewState state;
  const ViewRect window = Window(200, 200);
  PlanPaint(state, window, 400, 300);  // autoScale 0.5
  Enlarge(state);
  Enlarge(state);  // userScale 4: s = 2
  Pan(state, window, 400, 300, 50, 20);
  EXPECT_EQ(state.panX, 100.0);
  EXPECT_EQ(state.panY, 40.0);
  EXPECT_EQ(state.exposedRight, (ViewRect{700, 0, 802, 200}));
  EXPECT_EQ(state.exposedBelow, (ViewRect{0, 560, 200, 602}));
}

TEST(ViewStatePan, FractionalOffsetsTruncateTowardZero) {
  ViewState state;
  const ViewRect window = Window(120, 100);
  PlanPaint(state, window, 200, 100);  // width rule: autoScale 0.6
  ASSERT_EQ(state.autoScale, 0.6);
  Pan(state, window, 200, 100, 7, 0);  // X = 4.2
  // left = trunc(120 - 4.2); the right edge adds the move to the truncated left.
  EXPECT_EQ(state.exposedRight, (ViewRect{115, 0, 121, 100}));
  EXPECT_FALSE(IsPending(state.exposedBelow));
  PaintPlan plan = PlanPaint(state, window, 200, 100);
  EXPECT_EQ(plan.originX, -4);
  EXPECT_EQ(plan.originY, 0);
}

TEST(ViewStatePaint, StripWithOnlyABottomIsNotPending) {
  ViewState state;
  state.exposedRight = ViewRect{0, 0, 0, 50};
  state.exposedBelow = ViewRect{0, 5, 0, 0};
  PaintPlan plan = PlanPaint(state, Window(100, 100), 50, 50);
  ASSERT_EQ(plan.eraseCount, 1);
  EXPECT_EQ(plan.erase[0], (ViewRect{0, 5, 0, 0}));
  EXPECT_FALSE(IsPending(state.exposedBelow));
}

TEST(ImageInfo, UnscaledExampleMatchesByteForByte) {
  ViewState state;
  PlanPaint(state, Window(64, 48), 64, 48);
  const double compressionRatio = 10294.0 / 2000.0;  // 5.147
  const std::string expected =
      "Decompression Time\t 1.07 s\n\r"
      "Compression Ratio\t\t 5:1\n\r"
      "Original Size\t\t64 x 48\n\r"
      "Scaled Size\t\t64 x 48\n\r"
      "Scaling factor\t\t1.00\n\r"
      "User scaling factor:\t\t1.00";
  EXPECT_EQ(ImageInfoText(1.07, compressionRatio, 64, 48, state), expected);

  char text[kImageInfoTextSize];
  std::memset(text, 'x', sizeof text);
  FormatImageInfo(1.07, compressionRatio, 64, 48, state, text);
  EXPECT_EQ(std::string(text), expected);
}

TEST(ImageInfo, ShowsTheScalesOfTheLastPaint) {
  ViewState state;
  PlanPaint(state, Window(200, 200), 400, 300);
  Enlarge(state);
  Enlarge(state);
  Enlarge(state);
  PlanPaint(state, Window(200, 200), 400, 300);
  EXPECT_EQ(ImageInfoText(0.254, 12.6, 400, 300, state),
            "Decompression Time\t 0.25 s\n\r"
            "Compression Ratio\t\t13:1\n\r"
            "Original Size\t\t400 x 300\n\r"
            "Scaled Size\t\t1600 x 1200\n\r"
            "Scaling factor\t\t0.50\n\r"
            "User scaling factor:\t\t8.00");

  // Sizes are shown as signed 16-bit values: 64 x 1024 and 48 x 1024 wrap.
  ViewState zoomed;
  for (int i = 0; i < 10; ++i) Enlarge(zoomed);
  PlanPaint(zoomed, Window(64, 48), 64, 48);
  const std::string text = ImageInfoText(1.0, 5.0, 64, 48, zoomed);
  EXPECT_NE(text.find("Scaled Size\t\t0 x -16384\n\r"), std::string::npos) << text;
  EXPECT_NE(text.find("User scaling factor:\t\t1024.00"), std::string::npos) << text;
}

TEST(ImageInfo, OverlongTextIsCutAtTheBufferEnd) {
  ViewState state;
  state.userScale = 1e300;
  struct {
    char box[kImageInfoTextSize];
    char guard[8];
  } text;
  std::memset(&text, 'x', sizeof text);
  FormatImageInfo(1e300, 1e300, 64, 48, state, text.box);
  EXPECT_EQ(std::strlen(text.box), kImageInfoTextSize - 1);
  EXPECT_EQ(std::string(text.box, 23), "Decompression Time\t1000");
  for (char c : text.guard) EXPECT_EQ(c, 'x');
}

}  // namespace
}  // namespace kdz
