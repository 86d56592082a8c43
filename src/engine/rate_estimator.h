// How fast a job goes and when it will be done, from the progress it
// reports: bytes per second over the last few seconds (a moving window, so
// that one slow file or one quick one does not swing it), and the time
// left for the bytes still to scan at that pace. Neither is given before
// the job has run long enough for the figure to mean something.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace strellbox {

class RateEstimator {
 public:
  // `window`: the seconds the rate is taken over; `settle`: the seconds a
  // job runs before a rate is given.
  explicit RateEstimator(double window = 5.0, double settle = 2.0);

  // `done` of `total` bytes at `seconds` (on any clock that only goes
  // forward). Fewer bytes than before count as no progress: the job's
  // threads report out of order.
  void sample(double seconds, double done, double total);
  // A new job starts.
  void reset();

  std::optional<double> bytesPerSecond() const;
  std::optional<double> secondsLeft() const;

 private:
  struct Point {
    double seconds;
    double done;
  };
  double window_;
  double settle_;
  double started_ = 0;
  double total_ = 0;
  std::deque<Point> points_;  // oldest first; the first at or before the window's start
};

// "12.3 MB/s", "850 kB/s", "0 B/s": decimal units, three figures.
std::string FormatRate(double bytesPerSecond);
// "45 s", "3:07", "1:02:03": seconds left, rounded up to the second.
std::string FormatDuration(double seconds);

}  // namespace strellbox
