// The scan job's display for the Qt window. The job calls it on its worker
// thread; every call is posted to the GUI thread and returns at once,
// except blinkData, which waits until the GUI thread has taken the image.
#pragma once

#include <mutex>
#include <vector>

#include "app/results_model.h"
#include "engine/strell_display.h"

namespace strellbox {

class MainWindow;
class StrellAppController;

class QtDisplay : public StrellDisplay {
 public:
  QtDisplay(MainWindow* window, StrellAppController* app);

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
  // Hands the rows written so far to the window (GUI thread).
  void flushResults();

  // Both outlive the worker: the controller joins it before they go.
  MainWindow* window_;
  StrellAppController* app_;
  // Rows written and not yet shown. One posted flush takes all that are
  // here by then, so a fast job costs the GUI thread few updates.
  std::mutex pendingMutex_;
  std::vector<ResultRow> pendingRows_;
};

}  // namespace strellbox
