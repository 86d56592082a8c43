// The main window: the preview (also the drop target), the counters, the
// name of the entry being scanned, the progress bar and Stop, and the menu
// bar. Everything here runs on the GUI thread; the scan job reaches it only
// through QtDisplay.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QMainWindow>
#include <QSize>
#include <QTimer>

class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;

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

  // The controller whose counters the refresh shows (not owned).
  void setStreller(const StrellController* streller) { streller_ = streller; }

  // True when the preview takes an image of this size: both sides strictly
  // between 0 and 3000.
  static bool AcceptableForPreview(QSize size);

  // Outlets.
  StrellImageView* strellImageView;
  QLabel* foundImageCountField;
  QLabel* toStrellCountField;
  QLabel* strellingStaticField;
  QLabel* strellingField;
  QProgressBar* progress;
  QPushButton* stopStrellerButton;

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

  // --- Display work (GUI thread) -----------------------------------------
  void setStopEnabled(bool enabled);
  // Hides or shows the bar, the label and the name field together.
  void setHiddenJag(bool hidden);
  void setIndeterminate(bool indeterminate);
  // The found counter and the bar at bytes of total; a total of 0 (or a
  // fraction that is not finite) shows an empty bar.
  void progressTo(double bytes, double total, int found);
  void finishProgress();
  void setFoundCount(int count);
  void clearPreview();
  // Arms the counter refresh; it re-arms itself every 0.3 s while the
  // controller says the counters are to be updated.
  void startCounterRefresh();
  void updateCounters();

  // --- Preview -----------------------------------------------------------
  // Decodes the bytes and queues an acceptable image; the first accepted
  // image starts the one preview cycle. Returns whether it was accepted.
  bool blinkData(const QByteArray& bytes);
  // One preview step (run by the cycle's timer).
  void showLatestImage();
  int imagesToBlinkCount() const { return static_cast<int>(imagesToBlink_.size()); }
  // Delay of the armed preview step in ms, or -1 when none is armed.
  int pendingPreviewDelay() const;

 signals:
  void closeRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildMenus();

  const StrellController* streller_ = nullptr;
  QList<QImage> imagesToBlink_;
  QTimer previewTimer_;
  QTimer counterTimer_;
};

}  // namespace strellbox
