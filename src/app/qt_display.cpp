#include "app/qt_display.h"

#include <QByteArray>
#include <QFile>
#include <QMetaObject>
#include <QThread>

#include "app/app_controller.h"
#include "app/main_window.h"
#include "engine/strell_controller.h"

namespace strellbox {

QtDisplay::QtDisplay(MainWindow* window, StrellAppController* app) : window_(window), app_(app) {}

template <typename Receiver, typename Call>
void QtDisplay::post(Receiver* receiver, Call call) {
  // Posted events of a receiver that is destroyed first are dropped with it.
  QMetaObject::invokeMethod(
      receiver, [receiver, call = std::move(call)] { call(*receiver); }, Qt::QueuedConnection);
}

bool QtDisplay::stoppedByRequest() const {
  const StrellController& c = app_->streller();
  return c.stopStreller() && !c.strellerError();
}

void QtDisplay::setStopEnabled(bool enabled) {
  // Stop is enabled as a job starts.
  post(window_, [enabled](MainWindow& w) {
    if (enabled) w.jobStarted();
    w.setStopEnabled(enabled);
  });
}

void QtDisplay::setHiddenJag(bool hidden) {
  post(window_, [hidden](MainWindow& w) { w.setHiddenJag(hidden); });
}

void QtDisplay::setIndeterminate(bool indeterminate) {
  post(window_, [indeterminate](MainWindow& w) { w.setIndeterminate(indeterminate); });
}

void QtDisplay::progressFromThread(double bytes, double total, int32_t foundItems) {
  post(window_,
       [bytes, total, foundItems](MainWindow& w) { w.progressTo(bytes, total, foundItems); });
}

void QtDisplay::progressFinish() {
  const bool stopped = stoppedByRequest();
  post(app_, [stopped](StrellAppController& a) { a.jobFinished(stopped); });
}

void QtDisplay::reportStrellerError(const std::string& message) {
  const QString text = QString::fromStdString(message);
  post(app_, [text](StrellAppController& a) { a.reportStrellerError(text); });
}

void QtDisplay::setFoundCount(int32_t count) {
  post(window_, [count](MainWindow& w) { w.setFoundCount(count); });
}

void QtDisplay::clearPreview() {
  post(window_, [](MainWindow& w) { w.clearPreview(); });
}

void QtDisplay::startCounterRefresh() {
  post(window_, [](MainWindow& w) { w.startCounterRefresh(); });
}

void QtDisplay::setupRecentMenu() {
  post(app_, [](StrellAppController& a) { a.setupRecentMenu(); });
}

void QtDisplay::blinkData(const Buffer& bytes) {
  MainWindow* window = window_;
  if (QThread::currentThread() == window->thread()) {
    // Waiting for our own event loop would never end.
    window->takeForPreview(bytes);
    return;
  }
  // The worker waits until the GUI thread has taken the image; taking it
  // is only handing it to the decoding thread, so the wait is short and
  // the GUI thread never falls behind the job.
  QMetaObject::invokeMethod(
      window, [window, &bytes] { window->takeForPreview(bytes); }, Qt::BlockingQueuedConnection);
}

void QtDisplay::openFolder(const std::string& path) {
  const QString folder = QFile::decodeName(QByteArray::fromStdString(path));
  const bool stopped = stoppedByRequest();
  post(app_, [folder, stopped](StrellAppController& a) { a.openStrellFolder(folder, stopped); });
}

void QtDisplay::fileWritten(const std::string& path, const std::string& fileName,
                            const FoundItem& item) {
  if (path.empty()) return;  // a listing job wrote nothing
  ResultRow row = ResultRowFrom(path, fileName, item);
  bool first = false;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    first = pendingRows_.empty();
    pendingRows_.push_back(std::move(row));
  }
  if (first) post(window_, [this](MainWindow&) { flushResults(); });
}

void QtDisplay::flushResults() {
  std::vector<ResultRow> rows;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    rows.swap(pendingRows_);
  }
  window_->addResults(std::move(rows));
}

}  // namespace strellbox
