#pragma once

#include <chrono>
#include <map>
#include <mutex>

namespace camsim {

// Where the simulated camera looks. Continuous moves change the position at their speed until
// the next move; presets remember positions. Thread-safe.
class PtzView {
 public:
  using Clock = std::chrono::steady_clock;

  struct Position {
    double X = 0;     // -1 (far left) to 1 (far right)
    double Y = 0;     // -1 (bottom) to 1 (top)
    double Zoom = 1;  // 1 (wide) to kMaxZoom
    bool operator==(const Position&) const = default;
  };

  static constexpr double kMaxZoom = 4;

  // Speeds as the move request gives them (-100..100): the motion until the next call.
  void SetSpeeds(int pan, int tilt, int zoom, Clock::time_point now = Clock::now());
  // Remembers the present position under a preset number; Recall moves there and stops.
  void Store(int preset, Clock::time_point now = Clock::now());
  bool Recall(int preset, Clock::time_point now = Clock::now());
  void Forget(int preset);
  Position At(Clock::time_point now = Clock::now()) const;

 private:
  Position AtLocked(Clock::time_point now) const;

  mutable std::mutex Lock;  // guards everything below
  Position Start;           // where the present motion began
  Clock::time_point Since = Clock::now();
  int Pan = 0, Tilt = 0, ZoomSpeed = 0;
  std::map<int, Position> Presets;
};

// Crop of the doubled test picture that shows the view at width x height (even numbers).
struct ViewCrop {
  int Left = 0, Right = 0, Top = 0, Bottom = 0;
  bool operator==(const ViewCrop&) const = default;
};
ViewCrop CropFor(const PtzView::Position& view, int width, int height);

}  // namespace camsim
