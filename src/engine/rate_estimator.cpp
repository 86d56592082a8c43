#include "engine/rate_estimator.h"

#include <fmt/format.h>

#include <cmath>

namespace strellbox {

namespace {
// Points closer together than this are merged: progress can arrive many
// times a second, and the window needs only a few points per second.
constexpr double kPointSpacing = 0.1;
}  // namespace

RateEstimator::RateEstimator(double window, double settle) : window_(window), settle_(settle) {}

void RateEstimator::reset() {
  points_.clear();
  total_ = 0;
}

void RateEstimator::sample(double seconds, double done, double total) {
  if (!points_.empty() && (done < points_.back().done || seconds < points_.back().seconds)) reset();
  if (points_.empty()) started_ = seconds;
  total_ = total;
  if (points_.size() >= 2 && seconds - points_[points_.size() - 2].seconds < kPointSpacing)
    points_.back() = {seconds, done};
  else
    points_.push_back({seconds, done});
  // Keep one point at or before the window's start, to measure from.
  while (points_.size() >= 2 && points_[1].seconds <= seconds - window_) points_.pop_front();
}

std::optional<double> RateEstimator::bytesPerSecond() const {
  if (points_.size() < 2) return std::nullopt;
  const Point& last = points_.back();
  if (last.seconds - started_ < settle_) return std::nullopt;
  const Point& first = points_.front();
  const double span = last.seconds - first.seconds;
  if (span <= 0) return std::nullopt;
  return (last.done - first.done) / span;
}

std::optional<double> RateEstimator::secondsLeft() const {
  const auto rate = bytesPerSecond();
  if (!rate || *rate <= 0) return std::nullopt;
  const double left = total_ - points_.back().done;
  return left > 0 ? left / *rate : 0.0;
}

std::string FormatRate(double bytesPerSecond) {
  static constexpr const char* kUnits[] = {"B/s", "kB/s", "MB/s", "GB/s", "TB/s"};
  double value = bytesPerSecond > 0 ? bytesPerSecond : 0;
  size_t unit = 0;
  while (value >= 999.5 && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  if (unit == 0 || value >= 99.95) return fmt::format("{:.0f} {}", value, kUnits[unit]);
  if (value >= 9.995) return fmt::format("{:.1f} {}", value, kUnits[unit]);
  return fmt::format("{:.2f} {}", value, kUnits[unit]);
}

std::string FormatDuration(double seconds) {
  const auto total = static_cast<int64_t>(std::ceil(seconds > 0 ? seconds : 0));
  if (total < 60) return fmt::format("{} s", total);
  const int64_t hours = total / 3600, minutes = total / 60 % 60, rest = total % 60;
  if (hours == 0) return fmt::format("{}:{:02}", minutes, rest);
  return fmt::format("{}:{:02}:{:02}", hours, minutes, rest);
}

}  // namespace strellbox
