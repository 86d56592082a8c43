// The scan job's display for the Qt window. The job calls it on its worker
// thread; every call is posted to the GUI thread and returns at once,
// except blinkData, which waits until the GUI thread has taken the image.
#pragma once

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

 private:
  template <typename Receiver, typename Call>
  void post(Receiver* receiver, Call call);

  // Both outlive the worker: the controller joins it before they go.
  MainWindow* window_;
  StrellAppController* app_;
};

}  // namespace strellbox
