// The main window: the preview (also the drop target), the counters, the
// name of the entry being scanned, the progress bar and Stop, the results
// list with its output folder, and the menu bar. Everything here runs on
// the GUI thread; the scan job reaches it only through QtDisplay.
#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QList>
#include <QMainWindow>
#include <QSize>
#include <QTimer>
#include <memory>
#include <optional>
#include <vector>

#include "app/image_worker.h"
#include "app/results_model.h"
#include "engine/buffer.h"
#include "engine/rate_estimator.h"

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTableView;

namespace strellbox {

class StrellController;
class StrellImageView;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  // The bar counts in thousandths, so its maximum stands for 1.0.
  static constexpr int kBarMaximum = 1000;
  // Pacing of the preview cycle, in milliseconds.
  static constexpr int kFirstStepDelay = 500;
  static constexpr int kBusyStepDelay = 200;
  static constexpr int kIdleStepDelay = 2000;
  static constexpr int kCounterRefreshDelay = 300;

  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // The controller whose counters the refresh shows (not owned).
  void setStreller(const StrellController* streller) { streller_ = streller; }

  // Outlets.
  StrellImageView* strellImageView;
  QLabel* foundImageCountField;
  QLabel* toStrellCountField;
  QLabel* strellingStaticField;
  QLabel* strellingField;
  QLabel* rateField;  // "12.3 MB/s, 3:07 left", once the pace is known
  QProgressBar* progress;
  QPushButton* stopStrellerButton;

  // The results, and the list that shows them filtered and sorted.
  ResultsModel* results;
  ResultsFilter* resultsFilter;
  QTableView* resultsView;
  QComboBox* typeFilterButton;  // "All types", then each type found
  QLineEdit* filterField;       // a text in the name or source
  QAction* copyAction;          // the selected rows, as files and as their paths
  QLabel* jobStateField;        // "14 items saved to …", "Nothing found", "Stopped"
  QLabel* typeCountsField;      // "3 jpg · 2 png · 4 filtered out"; a type shows only its rows
  QLabel* outputFolderField;
  QPushButton* openFolderButton;
  QPushButton* showInFolderButton;

  // Menu items.
  QAction* openAction;
  QMenu* recentItem;
  QMenu* browserItem;
  QAction* temporaryItemsAction;
  QAction* stopAction;
  QAction* preferencesAction;
  QAction* quitAction;
  QAction* checkForUpdateAction;
  QAction* webPageAction;
  QAction* aboutAction;

  // --- Display work (GUI thread) -----------------------------------------
  void setStopEnabled(bool enabled);
  // Hides or shows the bar, the label and the name field together.
  void setHiddenJag(bool hidden);
  void setIndeterminate(bool indeterminate);
  // The found counter and the bar at bytes of total; a total of 0 (or a
  // fraction that is not finite) shows an empty bar.
  // It also shows the pace and the time left once they are known.
  void progressTo(double bytes, double total, int found);
  void finishProgress();
  // "12.3 MB/s, 3:07 left", "12.3 MB/s" or "" as far as the rate is known.
  static QString RateText(const RateEstimator& rate);
  void setFoundCount(int count);
  void clearPreview();
  // Arms the counter refresh; it re-arms itself every 0.3 s while the
  // controller says the counters are to be updated.
  void startCounterRefresh();
  void updateCounters();

  // --- A job's results -----------------------------------------------------
  // A job starts: the list and its state are cleared.
  void jobStarted();
  void addResults(std::vector<ResultRow> rows);
  // A job ended; stopped when the user (or quitting) stopped it.
  void jobFinished(bool stopped);
  bool jobRunning() const { return jobRunning_; }
  // Milliseconds since the job started.
  qint64 jobElapsed() const { return jobClock_.isValid() ? jobClock_.elapsed() : 0; }
  // The row of the results selected in the list (the first), or -1; and
  // every row selected.
  int selectedResult() const;
  QList<int> selectedResults() const;
  // The list shows only this type's rows (nothing: every type).
  void showType(const std::optional<QString>& type);
  // Puts the selected rows on the clipboard.
  void copySelectedResults();

  // --- Preview -----------------------------------------------------------
  // The worker's hand-off (GUI thread, the worker waits): the bytes go to
  // the decoding thread at the preview's size; an acceptable image joins
  // the preview's queue when decoded.
  void takeForPreview(const Buffer& bytes);
  // Queues a decoded image; the first starts the one preview cycle.
  void queuePreviewImage(const QImage& image);
  // One preview step (run by the cycle's timer).
  void showLatestImage();
  int imagesToBlinkCount() const { return static_cast<int>(imagesToBlink_.size()); }
  // Delay of the armed preview step in ms, or -1 when none is armed.
  int pendingPreviewDelay() const;
  // No image waits to be decoded, nor any thumbnail.
  bool imagesSettled() const { return images_.idle() && !results->thumbnailsPending(); }

 signals:
  void closeRequested();
  void resultOpenRequested(int row);
  void resultRevealRequested(int row);
  void outputFolderOpenRequested(const QString& folder);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildMenus();
  QWidget* buildResults(QWidget* parent);
  void showJobState(const QString& text);
  void updateTitle(int percent);
  // The counts line: each type a link that filters the list by it, and the
  // items the noise filters left out.
  void showTypeCounts();

  const StrellController* streller_ = nullptr;
  QList<QImage> imagesToBlink_;
  QTimer previewTimer_;
  QTimer counterTimer_;
  QElapsedTimer jobClock_;
  RateEstimator rate_;
  bool jobRunning_ = false;
  // Declared last, so it is joined first: its answers are posted to this
  // window and to the results.
  ImageWorker images_;
};

}  // namespace strellbox
