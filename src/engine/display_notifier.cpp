#include "engine/display_notifier.h"

namespace strellbox {

void DisplayNotifier::requestArrived(bool recentItemsChanged) {
  StrellDisplay& d = display();
  if (recentItemsChanged) d.setupRecentMenu();
  d.clearPreview();
  d.startCounterRefresh();
}

void DisplayNotifier::jobStarted() {
  StrellDisplay& d = display();
  d.setStopEnabled(true);
  d.setHiddenJag(false);
}

void DisplayNotifier::jobEnded() {
  StrellDisplay& d = display();
  d.setStopEnabled(false);
  d.progressFinish();
}

}  // namespace strellbox
