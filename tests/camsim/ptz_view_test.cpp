// Where the simulated camera looks as pan, tilt, zoom and presets move it.

#include "tools/camsim/ptz_view.h"

#include <gtest/gtest.h>

namespace camsim {
namespace {

using std::chrono::milliseconds;

TEST(PtzView, MovesAtItsSpeedUntilTheNextRequestAndStaysInRange) {
  PtzView view;
  const auto t0 = PtzView::Clock::now();
  view.SetSpeeds(6, -3, 2, t0);
  const PtzView::Position second = view.At(t0 + milliseconds(1000));
  EXPECT_NEAR(second.X, 0.24, 1e-9);
  EXPECT_NEAR(second.Y, -0.12, 1e-9);
  EXPECT_NEAR(second.Zoom, 1.2, 1e-9);
  view.SetSpeeds(0, 0, 0, t0 + milliseconds(1000));
  EXPECT_EQ(view.At(t0 + milliseconds(60000)), second) << "a stop holds the view";
  view.SetSpeeds(100, 100, -100, t0 + milliseconds(2000));
  const PtzView::Position edge = view.At(t0 + milliseconds(60000));
  EXPECT_EQ(edge, (PtzView::Position{1, 1, 1}));
}

TEST(PtzView, PresetsRememberAndRestoreTheView) {
  PtzView view;
  const auto t0 = PtzView::Clock::now();
  view.SetSpeeds(-5, 0, 0, t0);
  view.Store(3, t0 + milliseconds(1000));
  const PtzView::Position stored = view.At(t0 + milliseconds(1000));
  EXPECT_FALSE(view.Recall(4, t0 + milliseconds(3000)));
  EXPECT_TRUE(view.Recall(3, t0 + milliseconds(3000)));
  EXPECT_EQ(view.At(t0 + milliseconds(9000)), stored) << "going to a preset ends the motion";
  view.Forget(3);
  EXPECT_FALSE(view.Recall(3, t0 + milliseconds(9000)));
}

TEST(PtzView, CropShowsTheViewInsideTheDoubledPicture) {
  struct Case {
    PtzView::Position View;
    ViewCrop Crop;
  };
  const Case cases[] = {
      {{0, 0, 1}, {160, 160, 120, 120}},  // centre, half of the canvas each way
      {{1, 0, 1}, {320, 0, 120, 120}},    // far right
      {{-1, 1, 1}, {0, 320, 0, 240}},     // far left, top
      {{0, 0, 4}, {280, 280, 210, 210}},  // zoomed in on the centre
      {{1, -1, 4}, {560, 0, 420, 0}},     // zoomed into the bottom right corner
  };
  for (const Case& c : cases) {
    const ViewCrop crop = CropFor(c.View, 320, 240);
    EXPECT_EQ(crop, c.Crop) << c.View.X << "," << c.View.Y << "," << c.View.Zoom << ": " << crop.Left << " "
                            << crop.Right << " " << crop.Top << " " << crop.Bottom;
  }
}

}  // namespace
}  // namespace camsim
