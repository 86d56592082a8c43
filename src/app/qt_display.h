// The scan job's display for the Qt window. The job calls it on its worker
// thread; every call is posted to the GUI thread and returns at once,
// except blinkData, which waits until the GUI thread has taken the image
// handed over before.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "app/results_model.h"
#include "engine/strell_display.h"

class QTimer;

namespace strellbox {

class MainWindow;
class StrellAppController;

class QtDisplay : public StrellDisplay {
 public:
  // Progress and written files reach the window at most this often: a job
  // that finds many items a second would otherwise spend its time waiting
  // for the window to repaint after each.
  static constexpr int kRefreshMs = 50;

  // Made on the GUI thread.
  QtDisplay(MainWindow* window, StrellAppController* app);
  ~QtDisplay() override;

  void setStopEnabled(bool enabled) override;
  void setHiddenJag(bool hidden) override;
  void setIndeterminate(bool indeterminate) override;
  void progressFromThread(double bytes, double total, int32_t foundItems) override;
  void progressFinish() override;
  void reportStrellerError(const std::string& message) override;
  void setFoundCount(int32_t count) override;
  void clearPreview() override;
  void startCounterRefresh() override;
  void setupRecentMenu() override;
  void blinkData(const Buffer& bytes) override;
  void openFolder(const std::string& path) override;
  void fileWritten(const std::string& path, const std::string& fileName,
                   const FoundItem& item) override;

 private:
  template <typename Receiver, typename Call>
  void post(Receiver* receiver, Call call);
  // A stop the user asked for (or quitting): the stop flag without a
  // recorded failure, which sets the flag too.
  bool stoppedByRequest() const;
  // Something was gathered for the refresh: arms it unless it is armed.
  void gathered(std::unique_lock<std::mutex> lock);
  // Gives the window the latest progress and the rows gathered before row
  // number upTo (GUI thread).
  void applyPending(uint64_t upTo = std::numeric_limits<uint64_t>::max());

  // Both outlive the worker: the controller joins it before they go.
  MainWindow* window_;
  StrellAppController* app_;
  // Rows written and the latest progress, not yet shown.
  struct Progress {
    double bytes;
    double total;
    int32_t found;
  };
  struct Pending {
    std::vector<ResultRow> rows;
    std::optional<Progress> progress;
    bool kicked = false;  // the refresh is armed or about to be
  };
  std::mutex pendingMutex_;
  Pending pending_;
  uint64_t rowsGathered_ = 0;  // rows gathered since the start
  std::unique_ptr<QTimer> refresh_;
  // An image handed to the GUI thread and not yet taken.
  std::mutex handOffMutex_;
  std::condition_variable handOffTaken_;
  bool handOffPending_ = false;
};

}  // namespace strellbox
