#include "app/main_window.h"

#include <QAction>
#include <QBuffer>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QImageReader>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/strell_image_view.h"
#include "engine/paths.h"
#include "engine/strell_controller.h"

namespace strellbox {

constexpr int kMaximumPreviewSide = 3000;

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("strellWindow"));
  setWindowTitle(tr("Strellbox"));

  auto* central = new QWidget(this);
  strellImageView = new StrellImageView(central);

  auto* foundLabel = new QLabel(tr("Found:"), central);
  foundImageCountField = new QLabel(QStringLiteral("0"), central);
  foundImageCountField->setObjectName(QStringLiteral("foundImageCountField"));
  auto* toStrellLabel = new QLabel(tr("To scan:"), central);
  toStrellCountField = new QLabel(QStringLiteral("0"), central);
  toStrellCountField->setObjectName(QStringLiteral("toStrellCountField"));
  strellingStaticField = new QLabel(tr("Scanning:"), central);
  strellingStaticField->setObjectName(QStringLiteral("strellingStaticField"));
  strellingField = new QLabel(central);
  strellingField->setObjectName(QStringLiteral("strellingField"));
  strellingField->setTextFormat(Qt::PlainText);
  strellingField->setMinimumWidth(120);
  progress = new QProgressBar(central);
  progress->setObjectName(QStringLiteral("progress"));
  progress->setRange(0, kBarMaximum);
  progress->setTextVisible(false);
  stopStrellerButton = new QPushButton(tr("Stop"), central);
  stopStrellerButton->setObjectName(QStringLiteral("stopStrellerButton"));
  stopStrellerButton->setEnabled(false);

  auto* counters = new QGridLayout;
  counters->addWidget(foundLabel, 0, 0);
  counters->addWidget(foundImageCountField, 0, 1);
  counters->addWidget(toStrellLabel, 0, 2);
  counters->addWidget(toStrellCountField, 0, 3);
  counters->setColumnMinimumWidth(1, 56);  // room for the count before the next label
  counters->setColumnStretch(4, 1);
  auto* nameRow = new QHBoxLayout;
  nameRow->addWidget(strellingStaticField);
  nameRow->addWidget(strellingField, 1);
  auto* barRow = new QHBoxLayout;
  barRow->addWidget(progress, 1);
  barRow->addWidget(stopStrellerButton);

  auto* layout = new QVBoxLayout(central);
  layout->addWidget(strellImageView, 1);
  layout->addLayout(counters);
  layout->addLayout(nameRow);
  layout->addLayout(barRow);
  setCentralWidget(central);

  // Keep the layout still while the bar and fields come and go.
  for (QWidget* w : {static_cast<QWidget*>(progress), static_cast<QWidget*>(strellingStaticField),
                     static_cast<QWidget*>(strellingField)}) {
    QSizePolicy policy = w->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    w->setSizePolicy(policy);
  }
  setHiddenJag(true);

  buildMenus();

  previewTimer_.setSingleShot(true);
  connect(&previewTimer_, &QTimer::timeout, this, &MainWindow::showLatestImage);
  counterTimer_.setSingleShot(true);
  connect(&counterTimer_, &QTimer::timeout, this, &MainWindow::updateCounters);
}

void MainWindow::buildMenus() {
  QMenu* file = menuBar()->addMenu(tr("&File"));
  openAction = file->addAction(tr("Open…"));
  openAction->setShortcut(QKeySequence::Open);
  recentItem = file->addMenu(tr("Recent Items"));
  recentItem->setObjectName(QStringLiteral("recentItem"));
  recentItem->menuAction()->setEnabled(false);
  browserItem = file->addMenu(tr("Browser Caches"));
  browserItem->setObjectName(QStringLiteral("browserItem"));
  temporaryItemsAction = file->addAction(tr("Temporary Items"));
  file->addSeparator();
  stopAction = file->addAction(tr("Stop"));
  stopAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Period));
  file->addSeparator();
  preferencesAction = file->addAction(tr("Preferences…"));
  preferencesAction->setShortcut(QKeySequence::Preferences);
  preferencesAction->setMenuRole(QAction::PreferencesRole);
  file->addSeparator();
  quitAction = file->addAction(tr("Quit"));
  quitAction->setShortcut(QKeySequence::Quit);
  quitAction->setMenuRole(QAction::QuitRole);

  QMenu* help = menuBar()->addMenu(tr("&Help"));
  checkForUpdateAction = help->addAction(tr("Check for Updates…"));
  webPageAction = help->addAction(tr("Strellbox Web Page"));
}

bool MainWindow::AcceptableForPreview(QSize size) {
  return size.width() > 0 && size.width() < kMaximumPreviewSide && size.height() > 0 &&
         size.height() < kMaximumPreviewSide;
}

void MainWindow::setStopEnabled(bool enabled) { stopStrellerButton->setEnabled(enabled); }

void MainWindow::setHiddenJag(bool hidden) {
  progress->setHidden(hidden);
  strellingStaticField->setHidden(hidden);
  strellingField->setHidden(hidden);
}

void MainWindow::setIndeterminate(bool indeterminate) {
  // A range of 0..0 is Qt's animated, indeterminate bar.
  if (indeterminate)
    progress->setRange(0, 0);
  else
    progress->setRange(0, kBarMaximum);
}

void MainWindow::progressTo(double bytes, double total, int found) {
  foundImageCountField->setNum(found);
  if (progress->maximum() == 0) return;  // indeterminate while folders are expanded
  const double fraction = bytes / total;
  int value = 0;
  if (total > 0 && std::isfinite(fraction))
    value = static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * kBarMaximum));
  progress->setValue(value);
}

void MainWindow::finishProgress() {
  stopStrellerButton->update();
  strellingField->clear();
  if (progress->maximum() == 0) progress->setRange(0, kBarMaximum);
  progress->setValue(progress->maximum());
  setHiddenJag(true);
  progress->update();
}

void MainWindow::setFoundCount(int count) { foundImageCountField->setNum(count); }

void MainWindow::clearPreview() { strellImageView->setImage(QImage()); }

void MainWindow::startCounterRefresh() { counterTimer_.start(kCounterRefreshDelay); }

void MainWindow::updateCounters() {
  if (!streller_) return;
  toStrellCountField->setNum(streller_->itemsToStrell());
  foundImageCountField->setNum(streller_->foundItems());
  // The name belongs to a running job: once the job's end has cleared and
  // hidden the field, a last refresh leaves it empty.
  if (!strellingField->isHidden())
    strellingField->setText(
        QString::fromStdString(LastPathComponent(streller_->currentlyStrelling())));
  if (streller_->updateCounters()) counterTimer_.start(kCounterRefreshDelay);
}

bool MainWindow::blinkData(const QByteArray& bytes) {
  QBuffer buffer;
  buffer.setData(bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  reader.setDecideFormatFromContent(true);
  // Refuse from the header when it already tells, before decoding.
  if (const QSize announced = reader.size();
      announced.isValid() && !AcceptableForPreview(announced))
    return false;
  QImage image;
  if (!reader.read(&image) || image.isNull() || !AcceptableForPreview(image.size())) return false;
  imagesToBlink_.append(image);
  // One cycle for the life of the window: the first accepted image starts
  // it, later ones join its queue.
  if (!previewTimer_.isActive()) previewTimer_.start(kFirstStepDelay);
  return true;
}

void MainWindow::showLatestImage() {
  if (!imagesToBlink_.isEmpty()) {
    strellImageView->setImage(imagesToBlink_.takeFirst());
    // A job that outruns the preview: drop the oldest half of the backlog.
    if (imagesToBlink_.size() > 1) imagesToBlink_.remove(0, imagesToBlink_.size() / 2);
  }
  previewTimer_.start(imagesToBlink_.isEmpty() ? kIdleStepDelay : kBusyStepDelay);
}

int MainWindow::pendingPreviewDelay() const {
  return previewTimer_.isActive() ? previewTimer_.interval() : -1;
}

void MainWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  emit closeRequested();
}

}  // namespace strellbox
