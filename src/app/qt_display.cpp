#include "app/qt_display.h"

#include <QByteArray>
#include <QFile>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <iterator>
#include <limits>

#include "app/app_controller.h"
#include "app/main_window.h"
#include "engine/strell_controller.h"

namespace strellbox {

QtDisplay::QtDisplay(MainWindow* window, StrellAppController* app)
    : window_(window), app_(app), refresh_(std::make_unique<QTimer>()) {
  refresh_->setSingleShot(true);
  refresh_->setInterval(kRefreshMs);
  QObject::connect(refresh_.get(), &QTimer::timeout, refresh_.get(), [this] { applyPending(); });
}

QtDisplay::~QtDisplay() = default;

template <typename Receiver, typename Call>
void QtDisplay::post(Receiver* receiver, Call call) {
  // What was gathered for the refresh before this call comes first, so
  // that the window sees everything in the order the job said it; rows
  // gathered after it wait for their turn.
  uint64_t upTo = 0;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    upTo = rowsGathered_;
  }
  // Posted events of a receiver that is destroyed first are dropped with it.
  QMetaObject::invokeMethod(
      receiver,
      [this, receiver, upTo, call = std::move(call)] {
        applyPending(upTo);
        call(*receiver);
      },
      Qt::QueuedConnection);
}

void QtDisplay::gathered(std::unique_lock<std::mutex> lock) {
  const bool kick = !pending_.kicked;
  pending_.kicked = true;
  lock.unlock();
  if (kick)
    QMetaObject::invokeMethod(
        refresh_.get(),
        [this] {
          if (!refresh_->isActive()) refresh_->start();
        },
        Qt::QueuedConnection);
}

void QtDisplay::applyPending(uint64_t upTo) {
  std::vector<ResultRow> rows;
  std::optional<Progress> progress;
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    // pending_.rows holds the rows numbered rowsGathered_ - size ... rowsGathered_ - 1.
    const uint64_t first = rowsGathered_ - pending_.rows.size();
    const auto n = static_cast<size_t>(
        std::min<uint64_t>(pending_.rows.size(), upTo > first ? upTo - first : 0));
    rows.assign(std::make_move_iterator(pending_.rows.begin()),
                std::make_move_iterator(pending_.rows.begin() + static_cast<std::ptrdiff_t>(n)));
    pending_.rows.erase(pending_.rows.begin(),
                        pending_.rows.begin() + static_cast<std::ptrdiff_t>(n));
    progress.swap(pending_.progress);
    // Rows left over are the refresh's to show.
    pending_.kicked = !pending_.rows.empty() && pending_.kicked;
  }
  if (!rows.empty()) window_->addResults(std::move(rows));
  if (progress) window_->progressTo(progress->bytes, progress->total, progress->found);
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
  std::unique_lock<std::mutex> lock(pendingMutex_);
  pending_.progress = Progress{bytes, total, foundItems};
  gathered(std::move(lock));
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
  // The worker waits until the GUI thread has taken the image (handed it
  // to the decoding thread, which costs next to nothing), so that the
  // preview never falls behind the job.
  std::unique_lock<std::mutex> lock(handOffMutex_);
  handOffTaken_.wait(lock, [this] { return !handOffPending_; });
  handOffPending_ = true;
  lock.unlock();
  // Not through post(): taking an image has no order to keep with the
  // refresh, which keeps its own pace.
  QMetaObject::invokeMethod(
      window,
      [this, window, image = bytes] {
        window->takeForPreview(image);
        {
          std::lock_guard<std::mutex> taken(handOffMutex_);
          handOffPending_ = false;
        }
        handOffTaken_.notify_all();
      },
      Qt::QueuedConnection);
  lock.lock();
  handOffTaken_.wait(lock, [this] { return !handOffPending_; });
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
  std::unique_lock<std::mutex> lock(pendingMutex_);
  pending_.rows.push_back(std::move(row));
  ++rowsGathered_;
  gathered(std::move(lock));
}

}  // namespace strellbox
