#pragma once

namespace korvalt {

// The fixed waits of a channel's supervision loop. Cameras get the defaults; tests shorten them so
// that probing a port or passing through the loop takes milliseconds, not seconds. The other two
// clocks of the loop are set elsewhere: the signal-loss time-out by the device record, the
// keep-alive period by the RTSP session's time-out.
struct SupervisionIntervals {
  static constexpr int kPortProbeMs = 2000;
  static constexpr int kLoopWaitMs = 1000;
  // Names a shorter port probe for test suites that reach channels only through the module's
  // exports.
  static constexpr const char* kPortProbeVariable = "QUENLARK_TEST_PORT_PROBE_MS";
  // Likewise for the loss report's interval.
  static constexpr const char* kLossReportVariable = "QUENLARK_TEST_LOSS_REPORT_MS";

  // GStreamer's RTSP source waits as long before it tries TCP; well below the signal-loss time-out.
  static constexpr int kTcpFallbackMs = 5000;
  // A camera that closed the RTSP connection but still sends frames within this time streams on.
  static constexpr int kClosedGraceMs = 500;

  int PortProbeMs = kPortProbeMs;      // a port that hears the camera within this time is in use
  int LoopWaitMs = kLoopWaitMs;        // between two passes: reconnection and signal-loss checks
  int TcpFallbackMs = kTcpFallbackMs;  // no RTP over UDP this long after PLAY: try TCP
  int ClosedGraceMs = kClosedGraceMs;
  // While anything is lost, a line with the figures this often.
  static constexpr int kLossReportMs = 60000;
  int LossReportMs = kLossReportMs;

  // The defaults, with the port probe that kPortProbeVariable names (read once per process).
  static SupervisionIntervals ForModule();
  // The defaults, with the port probe that text names when it is a whole number of 1 to
  // kPortProbeMs milliseconds: the variable can shorten a wait, never lengthen or remove it.
  static SupervisionIntervals WithPortProbeFrom(const char* text);
};

}  // namespace korvalt
