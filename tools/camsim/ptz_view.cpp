#include "ptz_view.h"

#include <algorithm>

namespace camsim {
namespace {
// Fraction of the whole range per second and unit of speed: the driver's top speed 6 pans
// across in about 8 s.
constexpr double kPanPerSecond = 0.04;
constexpr double kZoomPerSecond = 0.1;

int Even(double value) {
  return static_cast<int>(value / 2) * 2;
}
}  // namespace

PtzView::Position PtzView::AtLocked(Clock::time_point now) const {
  const double seconds = std::chrono::duration<double>(now - Since).count();
  Position p = Start;
  p.X = std::clamp(p.X + Pan * kPanPerSecond * seconds, -1.0, 1.0);
  p.Y = std::clamp(p.Y + Tilt * kPanPerSecond * seconds, -1.0, 1.0);
  p.Zoom = std::clamp(p.Zoom + ZoomSpeed * kZoomPerSecond * seconds, 1.0, kMaxZoom);
  return p;
}

PtzView::Position PtzView::At(Clock::time_point now) const {
  std::lock_guard<std::mutex> lock(Lock);
  return AtLocked(now);
}

void PtzView::SetSpeeds(int pan, int tilt, int zoom, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(Lock);
  Start = AtLocked(now);
  Since = now;
  Pan = pan;
  Tilt = tilt;
  ZoomSpeed = zoom;
}

void PtzView::Store(int preset, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(Lock);
  Presets[preset] = AtLocked(now);
}

bool PtzView::Recall(int preset, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(Lock);
  const auto it = Presets.find(preset);
  if (it == Presets.end()) return false;
  Start = it->second;
  Since = now;
  Pan = Tilt = ZoomSpeed = 0;
  return true;
}

void PtzView::Forget(int preset) {
  std::lock_guard<std::mutex> lock(Lock);
  Presets.erase(preset);
}

ViewCrop CropFor(const PtzView::Position& view, int width, int height) {
  // The canvas is twice the picture each way; zoom 1 shows half of it.
  const double cropWidth = width / view.Zoom;
  const double cropHeight = height / view.Zoom;
  const double centreX = width + view.X * (width - cropWidth / 2);
  const double centreY = height - view.Y * (height - cropHeight / 2);
  ViewCrop crop;
  crop.Left = std::clamp(Even(centreX - cropWidth / 2), 0, 2 * width - 2);
  crop.Top = std::clamp(Even(centreY - cropHeight / 2), 0, 2 * height - 2);
  crop.Right = std::max(0, 2 * width - crop.Left - Even(cropWidth));
  crop.Bottom = std::max(0, 2 * height - crop.Top - Even(cropHeight));
  return crop;
}

}  // namespace camsim
