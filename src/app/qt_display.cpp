#include "app/qt_display.h"

#include <QByteArray>
#include <QFile>
#include <QMetaObject>
#include <QThread>

#include "app/app_controller.h"
#include "app/main_window.h"

namespace strellbox {

QtDisplay::QtDisplay(MainWindow* window, StrellAppController* app) : window_(window), app_(app) {}

template <typename Receiver, typename Call>
void QtDisplay::post(Receiver* receiver, Call call) {
  // Posted events of a receiver that is destroyed first are dropped with it.
  QMetaObject::invokeMethod(
      receiver, [receiver, call = std::move(call)] { call(*receiver); }, Qt::QueuedConnection);
}

void QtDisplay::setStopEnabled(bool enabled) {
  post(window_, [enabled](MainWindow& w) { w.setStopEnabled(enabled); });
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
  post(window_, [](MainWindow& w) { w.finishProgress(); });
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
  // The worker waits here, so the GUI thread may read its bytes in place.
  const QByteArray raw = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<qsizetype>(bytes.size()));
  if (QThread::currentThread() == window->thread()) {
    // Waiting for our own event loop would never end.
    window->blinkData(raw);
    return;
  }
  QMetaObject::invokeMethod(
      window, [window, &raw] { window->blinkData(raw); }, Qt::BlockingQueuedConnection);
}

void QtDisplay::openFolder(const std::string& path) {
  const QString folder = QFile::decodeName(QByteArray::fromStdString(path));
  post(app_, [folder](StrellAppController& a) { a.openStrellFolder(folder); });
}

}  // namespace strellbox
