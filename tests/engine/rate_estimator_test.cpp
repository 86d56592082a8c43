#include "engine/rate_estimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <utility>
#include <vector>

namespace strellbox {
namespace {

// Progress reports on made-up timestamps: (seconds, bytes done). The
// estimator runs with a 5-second window and a 2-second settling time.
struct Case {
  const char* name;
  std::vector<std::pair<double, double>> samples;
  double total;
  std::optional<double> rate;
  std::optional<double> left;
};

std::vector<std::pair<double, double>> Steady(double from, double to, double step, double start,
                                              double perSecond) {
  std::vector<std::pair<double, double>> samples;
  for (double t = from; t <= to + 1e-9; t += step)
    samples.emplace_back(t, start + (t - from) * perSecond);
  return samples;
}

std::vector<std::pair<double, double>> Then(std::vector<std::pair<double, double>> a,
                                            const std::vector<std::pair<double, double>>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(RateEstimator, RateAndTimeLeftFollowTheLastSeconds) {
  const Case cases[] = {
      {"nothing before the job settles", {{0, 0}, {1, 100}, {1.9, 190}}, 1000, {}, {}},
      {"a steady pace", Steady(0, 3, 1, 0, 100), 1000, 100, 7},
      {"reports many times a second merge without changing the pace", Steady(0, 3, 0.01, 0, 100),
       1000, 100, 7},
      {"only the last five seconds count", Then({{0, 0}, {1, 1000}}, Steady(2, 8, 1, 1100, 100)),
       2700, 100, 10},
      {"a burst inside the window is spread over it",
       {{0, 0}, {1, 0}, {2, 0}, {3, 500}, {4, 500}},
       1000,
       125,
       4},
      {"a stall gives a rate of nothing and no time left",
       Then({{0, 0}, {1, 100}}, Steady(2, 8, 1, 100, 0)),
       1000,
       0,
       {}},
      {"fewer bytes than before: a new job, which settles anew",
       {{0, 0}, {3, 300}, {3.5, 10}, {4.5, 110}},
       1000,
       {},
       {}},
      {"all done", Steady(0, 3, 1, 0, 100), 300, 100, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RateEstimator estimator(5.0, 2.0);
    for (const auto& [t, done] : c.samples) estimator.sample(t, done, c.total);
    // -1 stands for "not given".
    EXPECT_NEAR(estimator.bytesPerSecond().value_or(-1), c.rate.value_or(-1), 1e-6);
    EXPECT_NEAR(estimator.secondsLeft().value_or(-1), c.left.value_or(-1), 1e-6);
  }
}

TEST(RateEstimator, FiguresReadAsPeopleWriteThem) {
  const std::pair<double, const char*> rates[] = {
      {0, "0 B/s"},          {999, "999 B/s"},        {1234, "1.23 kB/s"},
      {999999, "1.00 MB/s"}, {12345678, "12.3 MB/s"}, {250e6, "250 MB/s"},
      {-5, "0 B/s"},
  };
  for (const auto& [value, text] : rates) EXPECT_EQ(FormatRate(value), text) << value;
  const std::pair<double, const char*> durations[] = {
      {0.2, "1 s"}, {59, "59 s"}, {60, "1:00"}, {187, "3:07"}, {3723, "1:02:03"}, {-1, "0 s"},
  };
  for (const auto& [value, text] : durations) EXPECT_EQ(FormatDuration(value), text) << value;
}

}  // namespace
}  // namespace strellbox
