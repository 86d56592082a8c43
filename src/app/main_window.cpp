#include "app/main_window.h"

#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/strell_image_view.h"
#include "engine/paths.h"
#include "engine/platform.h"
#include "engine/strell_controller.h"

namespace strellbox {

namespace {

// A path for showing, with "~" for the home folder.
QString Abbreviated(const QString& path) {
  return QFile::decodeName(
      QByteArray::fromStdString(AbbreviateTilde(QFile::encodeName(path).toStdString())));
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("strellWindow"));
  setWindowTitle(tr("Strellbox"));

  auto* splitter = new QSplitter(Qt::Horizontal, this);
  auto* central = new QWidget(splitter);
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
  rateField = new QLabel(central);
  rateField->setObjectName(QStringLiteral("rateField"));
  progress = new QProgressBar(central);
  progress->setObjectName(QStringLiteral("progress"));
  progress->setRange(0, kBarMaximum);
  progress->setTextVisible(true);
  progress->setFormat(tr("%p%"));
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
  nameRow->addWidget(rateField);
  auto* barRow = new QHBoxLayout;
  barRow->addWidget(progress, 1);
  barRow->addWidget(stopStrellerButton);

  auto* layout = new QVBoxLayout(central);
  layout->addWidget(strellImageView, 1);
  layout->addLayout(counters);
  layout->addLayout(nameRow);
  layout->addLayout(barRow);
  splitter->addWidget(central);
  splitter->addWidget(buildResults(splitter));
  splitter->setStretchFactor(0, 2);
  splitter->setStretchFactor(1, 3);
  splitter->setSizes({330, 590});
  splitter->setChildrenCollapsible(false);
  setCentralWidget(splitter);
  resize(960, 600);

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

MainWindow::~MainWindow() = default;

QWidget* MainWindow::buildResults(QWidget* parent) {
  auto* panel = new QWidget(parent);
  jobStateField = new QLabel(panel);
  jobStateField->setObjectName(QStringLiteral("jobStateField"));
  jobStateField->setTextFormat(Qt::PlainText);
  QFont bold = jobStateField->font();
  bold.setBold(true);
  jobStateField->setFont(bold);
  typeCountsField = new QLabel(panel);
  typeCountsField->setObjectName(QStringLiteral("typeCountsField"));
  typeCountsField->setTextFormat(Qt::PlainText);

  typeCountsField->setTextFormat(Qt::RichText);
  typeCountsField->setTextInteractionFlags(Qt::LinksAccessibleByMouse |
                                           Qt::LinksAccessibleByKeyboard);
  typeCountsField->setToolTip(tr("Click a type to list only its items"));
  connect(typeCountsField, &QLabel::linkActivated, this, [this](const QString& link) {
    // "type:" and the type, percent-encoded.
    showType(QUrl::fromPercentEncoding(link.mid(5).toUtf8()));
  });

  results = new ResultsModel(&images_, this);
  resultsFilter = new ResultsFilter(results, this);
  typeFilterButton = new QComboBox(panel);
  typeFilterButton->setObjectName(QStringLiteral("typeFilterButton"));
  typeFilterButton->addItem(tr("All types"));
  typeFilterButton->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  connect(typeFilterButton, &QComboBox::currentIndexChanged, this, [this](int index) {
    const QVariant type = typeFilterButton->itemData(index);
    resultsFilter->setType(type.isValid() ? std::optional<QString>(type.toString()) : std::nullopt);
  });
  filterField = new QLineEdit(panel);
  filterField->setObjectName(QStringLiteral("filterField"));
  filterField->setPlaceholderText(tr("Filter by name or source"));
  filterField->setClearButtonEnabled(true);
  connect(filterField, &QLineEdit::textChanged, resultsFilter, &ResultsFilter::setText);

  resultsView = new QTableView(panel);
  resultsView->setObjectName(QStringLiteral("resultsView"));
  resultsView->setModel(resultsFilter);
  resultsView->setSelectionBehavior(QAbstractItemView::SelectRows);
  resultsView->setSelectionMode(QAbstractItemView::ExtendedSelection);
  resultsView->setDragEnabled(true);
  resultsView->setDragDropMode(QAbstractItemView::DragOnly);
  resultsView->setDefaultDropAction(Qt::CopyAction);
  resultsView->setIconSize(QSize(ResultsModel::kThumbnailSide, ResultsModel::kThumbnailSide));
  resultsView->setShowGrid(false);
  resultsView->setAlternatingRowColors(true);
  resultsView->setWordWrap(false);
  resultsView->verticalHeader()->hide();
  resultsView->verticalHeader()->setDefaultSectionSize(ResultsModel::kThumbnailSide + 6);
  QHeaderView* header = resultsView->horizontalHeader();
  header->setSectionResizeMode(ResultsModel::kName, QHeaderView::Interactive);
  header->resizeSection(ResultsModel::kName, 230);
  // Widths from the font, not from the rows: measuring every row at each
  // insertion would cost a long job time that grows with its square.
  const QFontMetrics metrics(resultsView->font());
  header->resizeSection(ResultsModel::kType,
                        metrics.horizontalAdvance(QStringLiteral("tiff")) + 24);
  header->resizeSection(ResultsModel::kSize,
                        metrics.horizontalAdvance(QStringLiteral("999.9 bytes")) + 24);
  header->setSectionResizeMode(ResultsModel::kSource, QHeaderView::Stretch);
  // Every column sorts; until one is clicked the rows stand as found.
  header->setSortIndicator(-1, Qt::AscendingOrder);
  resultsView->setSortingEnabled(true);
  resultsView->setContextMenuPolicy(Qt::ActionsContextMenu);
  // Double-click or Enter opens the file with the desktop's application.
  connect(resultsView, &QAbstractItemView::activated, this, [this](const QModelIndex& index) {
    emit resultOpenRequested(resultsFilter->resultRow(index.row()));
  });
  auto* openItem = new QAction(tr("Open"), resultsView);
  connect(openItem, &QAction::triggered, this, [this] {
    if (const int row = selectedResult(); row >= 0) emit resultOpenRequested(row);
  });
  auto* revealItem = new QAction(tr("Show in Folder"), resultsView);
  connect(revealItem, &QAction::triggered, this, [this] {
    if (const int row = selectedResult(); row >= 0) emit resultRevealRequested(row);
  });
  copyAction = new QAction(tr("Copy"), resultsView);
  copyAction->setShortcut(QKeySequence::Copy);
  copyAction->setShortcutContext(Qt::WidgetShortcut);
  connect(copyAction, &QAction::triggered, this, &MainWindow::copySelectedResults);
  resultsView->addActions({openItem, revealItem, copyAction});

  outputFolderField = new QLabel(panel);
  outputFolderField->setObjectName(QStringLiteral("outputFolderField"));
  outputFolderField->setTextFormat(Qt::PlainText);
  outputFolderField->setTextInteractionFlags(Qt::TextSelectableByMouse);
  openFolderButton = new QPushButton(tr("Open Folder"), panel);
  openFolderButton->setObjectName(QStringLiteral("openFolderButton"));
  openFolderButton->setToolTip(tr("Open the output folder in the file manager"));
  openFolderButton->setEnabled(false);
  connect(openFolderButton, &QPushButton::clicked, this,
          [this] { emit outputFolderOpenRequested(results->outputFolder()); });
  showInFolderButton = new QPushButton(tr("Show in Folder"), panel);
  showInFolderButton->setObjectName(QStringLiteral("showInFolderButton"));
  showInFolderButton->setToolTip(tr("Show the selected file in the file manager"));
  showInFolderButton->setEnabled(false);
  connect(showInFolderButton, &QPushButton::clicked, revealItem, &QAction::trigger);
  connect(resultsView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this] { showInFolderButton->setEnabled(selectedResult() >= 0); });

  auto* folderRow = new QHBoxLayout;
  folderRow->addWidget(outputFolderField, 1);
  folderRow->addWidget(showInFolderButton);
  folderRow->addWidget(openFolderButton);
  auto* filterRow = new QHBoxLayout;
  filterRow->addWidget(typeFilterButton);
  filterRow->addWidget(filterField, 1);
  auto* layout = new QVBoxLayout(panel);
  layout->addWidget(jobStateField);
  layout->addWidget(typeCountsField);
  layout->addLayout(filterRow);
  layout->addWidget(resultsView, 1);
  layout->addLayout(folderRow);
  return panel;
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
  // Esc stops as well; the menu shows the first.
  stopAction->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Period), QKeySequence(Qt::Key_Escape)});
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
  help->addSeparator();
  aboutAction = help->addAction(tr("About Strellbox"));
  aboutAction->setMenuRole(QAction::AboutRole);
}

void MainWindow::setStopEnabled(bool enabled) { stopStrellerButton->setEnabled(enabled); }

void MainWindow::setHiddenJag(bool hidden) {
  progress->setHidden(hidden);
  strellingStaticField->setHidden(hidden);
  strellingField->setHidden(hidden);
  rateField->setHidden(hidden);
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
  if (jobRunning_) updateTitle(value * 100 / kBarMaximum);
  rate_.sample(static_cast<double>(jobElapsed()) / 1000.0, bytes, total);
  rateField->setText(RateText(rate_));
}

QString MainWindow::RateText(const RateEstimator& rate) {
  const auto perSecond = rate.bytesPerSecond();
  if (!perSecond) return {};
  const QString pace = QString::fromStdString(FormatRate(*perSecond));
  const auto left = rate.secondsLeft();
  if (!left) return pace;
  return tr("%1, %2 left").arg(pace, QString::fromStdString(FormatDuration(*left)));
}

void MainWindow::finishProgress() {
  stopStrellerButton->update();
  strellingField->clear();
  rateField->clear();
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
  if (jobRunning_) showTypeCounts();
  // The name belongs to a running job: once the job's end has cleared and
  // hidden the field, a last refresh leaves it empty.
  if (!strellingField->isHidden())
    strellingField->setText(
        QString::fromStdString(LastPathComponent(streller_->currentlyStrelling())));
  if (streller_->updateCounters()) counterTimer_.start(kCounterRefreshDelay);
}

void MainWindow::takeForPreview(const Buffer& bytes) {
  // Decoded at the size the preview shows, never larger.
  const QSize bound = strellImageView->size() * strellImageView->devicePixelRatioF();
  images_.decodePreview(bytes, bound, [this](std::optional<QImage> image) {
    if (!image) return;
    QMetaObject::invokeMethod(this,
                              [this, image = std::move(*image)] { queuePreviewImage(image); });
  });
}

void MainWindow::queuePreviewImage(const QImage& image) {
  imagesToBlink_.append(image);
  // One cycle for the life of the window: the first accepted image starts
  // it, later ones join its queue.
  if (!previewTimer_.isActive()) previewTimer_.start(kFirstStepDelay);
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

void MainWindow::jobStarted() {
  jobRunning_ = true;
  jobClock_.start();
  rate_.reset();
  rateField->clear();
  results->clear();
  // A new list: every type, and no text, until the user asks again.
  showType(std::nullopt);
  while (typeFilterButton->count() > 1) typeFilterButton->removeItem(1);
  filterField->clear();
  showJobState(tr("Scanning…"));
  typeCountsField->clear();
  outputFolderField->clear();
  outputFolderField->setToolTip(QString());
  openFolderButton->setEnabled(false);
  updateTitle(0);
}

void MainWindow::addResults(std::vector<ResultRow> rows) {
  const bool first = results->count() == 0;
  results->append(std::move(rows));
  showTypeCounts();
  if (first && results->count() > 0) {
    const QString folder = results->outputFolder();
    outputFolderField->setText(tr("Saved in %1").arg(Abbreviated(folder)));
    outputFolderField->setToolTip(folder);
    openFolderButton->setEnabled(true);
  }
}

void MainWindow::jobFinished(bool stopped) {
  jobRunning_ = false;
  const int n = results->count();
  if (stopped)
    showJobState(tr("Stopped"));
  else if (n == 0)
    showJobState(tr("Nothing found"));
  else if (n == 1)
    showJobState(tr("1 item saved to %1").arg(Abbreviated(results->outputFolder())));
  else
    showJobState(tr("%1 items saved to %2").arg(n).arg(Abbreviated(results->outputFolder())));
  showTypeCounts();
  setWindowTitle(tr("Strellbox"));
}

void MainWindow::showTypeCounts() {
  QStringList parts;
  for (const auto& [type, n] : results->countsByType()) {
    const QString label = type.isEmpty() ? tr("without type") : type;
    // Types are offered in the type button as they first appear.
    if (typeFilterButton->findData(type) < 0) typeFilterButton->addItem(label, type);
    // One pass over the pattern: an encoded type may hold "%2".
    parts.append(QStringLiteral("<a href=\"type:%1\">%2 %3</a>")
                     .arg(QString::fromUtf8(QUrl::toPercentEncoding(type)), QString::number(n),
                          label.toHtmlEscaped()));
  }
  const int filtered = streller_ ? streller_->itemsFiltered() : 0;
  if (filtered > 0) parts.append(tr("%n filtered out", nullptr, filtered));
  typeCountsField->setText(parts.join(QStringLiteral(" · ")));
}

void MainWindow::showType(const std::optional<QString>& type) {
  const int index = type ? typeFilterButton->findData(*type) : 0;
  typeFilterButton->setCurrentIndex(index < 0 ? 0 : index);
}

QList<int> MainWindow::selectedResults() const {
  QList<int> rows;
  for (const QModelIndex& index : resultsView->selectionModel()->selectedRows())
    rows.append(resultsFilter->resultRow(index.row()));
  std::sort(rows.begin(), rows.end());
  return rows;
}

int MainWindow::selectedResult() const {
  const QModelIndexList rows = resultsView->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : resultsFilter->resultRow(rows.first().row());
}

void MainWindow::copySelectedResults() {
  QModelIndexList cells;
  for (int row : selectedResults()) cells.append(results->index(row, 0));
  if (cells.isEmpty()) return;
  QGuiApplication::clipboard()->setMimeData(results->mimeData(cells));
}

void MainWindow::showJobState(const QString& text) { jobStateField->setText(text); }

void MainWindow::updateTitle(int percent) { setWindowTitle(tr("Strellbox – %1%").arg(percent)); }

void MainWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  emit closeRequested();
}

}  // namespace strellbox
