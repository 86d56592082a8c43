#include "app/app_controller.h"

#include <QAbstractButton>
#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QThread>
#include <QTimer>
#include <algorithm>

#include "app/alerts.h"
#include "app/desktop.h"
#include "app/main_window.h"
#include "app/open_panel.h"
#include "app/preferences.h"
#include "app/preferences_window.h"
#include "app/qt_display.h"
#include "app/strell_image_view.h"
#include "engine/classify.h"
#include "engine/platform.h"
#include "engine/strell_controller.h"

namespace strellbox {

namespace {

QString KeyOf(const PassRow& row) {
  return QString::fromLatin1(row.preferenceKey.data(), row.preferenceKey.size());
}

// The preference key of a noise filter's field.
QString FilterKey(const PreferencesWindow& p, const QSpinBox* field) {
  if (field == p.minSizeField) return keys::kMinItemSize;
  if (field == p.maxSizeField) return keys::kMaxItemSize;
  if (field == p.minWidthField) return keys::kMinPictureWidth;
  return keys::kMinPictureHeight;
}

std::string Encoded(const QString& path) { return QFile::encodeName(path).toStdString(); }
QString Decoded(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

}  // namespace

StrellAppController::StrellAppController(AppServices services, QObject* parent)
    : QObject(parent), services_(std::move(services)) {
  if (!services_.alerts) ownAlerts_ = std::make_unique<MessageBoxPresenter>();
  alerts_ = services_.alerts ? services_.alerts : ownAlerts_.get();
  preferences_ = std::make_unique<Preferences>(services_.settingsFile);
  strellWindow_ = std::make_unique<MainWindow>();
  preferencesWindow_ = std::make_unique<PreferencesWindow>();
  display_ = std::make_unique<QtDisplay>(strellWindow_.get(), this);
  streller_ = std::make_unique<StrellController>(display_.get());
  streller_->setReportCreator(
      {"strellbox", {}, {{"Qt", qVersion()}, {"libplist", STRELLBOX_PLIST_VERSION}}});
  strellWindow_->setStreller(streller_.get());
  strellWindow_->strellImageView->setStreller(
      [this](const QStringList& paths) { threadStrell(paths); });
  updateChecker_ = std::make_unique<UpdateChecker>(UpdateChecker::Services{
      preferences_.get(), alerts_, [this](const QUrl& url) { openUrl(url); }, services_.hosts,
      services_.resolver, services_.runningVersion, services_.networkTimeoutMs});
  awakeFromNib();
  connectControls();
}

StrellAppController::~StrellAppController() { applicationWillTerminate(); }

void StrellAppController::awakeFromNib() {
  strellWindow_->setHiddenJag(true);
  strellWindow_->setFoundCount(0);

  PreferencesWindow& p = *preferencesWindow_;
  streller_->setScanWorkers(preferences_->integerForKey(keys::kScanJobs));
  const bool extended = preferences_->boolForKey(keys::kExtendedDetection);
  streller_->setExtendedDetection(extended);
  p.extendedButton->setChecked(extended);
  for (const PassRow& row : PassTable()) {
    streller_->setScanSetting(
        row.id, ScanSettingFromStored(row.byDefault, preferences_->value(KeyOf(row))));
    p.scanButton(row.id)->setChecked(streller_->scanFor(row.id));
  }
  p.showExtendedDetection(extended);

  const int tag = preferences_->integerForKey(keys::kSaveRadioChosen);
  streller_->setSaveRadioChosen(tag);
  if (QAbstractButton* cell = p.saveRadioButtons->button(tag)) cell->setChecked(true);

  const QString folder = preferences_->value(keys::kSaveFolder).toString();
  streller_->setSaveFolder(Encoded(folder));
  p.strellFolderField->setText(Decoded(AbbreviateTilde(Encoded(folder))));

  checkForUpdates_ = preferences_->boolForKey(keys::kCheckForUpdates);
  p.updateButton->setChecked(checkForUpdates_);
  const bool noDuplicates = preferences_->boolForKey(keys::kDontSaveDuplicates);
  streller_->setDontSaveDuplicates(noDuplicates);
  p.dontSaveDuplicatesButton->setChecked(noDuplicates);
  openOutputFolder_ = preferences_->boolForKey(keys::kOpenOutputFolder);
  p.openOutputFolderButton->setChecked(openOutputFolder_);
  const bool report = preferences_->boolForKey(keys::kWriteReport);
  streller_->setWriteReport(report);
  p.writeReportButton->setChecked(report);
  for (QSpinBox* field : {p.minSizeField, p.maxSizeField, p.minWidthField, p.minHeightField})
    field->setValue(std::max(0, preferences_->integerForKey(FilterKey(p, field))));
  streller_->setMinItemSize(static_cast<uint64_t>(p.minSizeField->value()));
  streller_->setMaxItemSize(static_cast<uint64_t>(p.maxSizeField->value()));
  streller_->setMinPictureSize(static_cast<uint32_t>(p.minWidthField->value()),
                               static_cast<uint32_t>(p.minHeightField->value()));

  p.updateIntervalButton->setCurrentIndex(
      preferences_->integerForKey(keys::kCheckForUpdatesInterval));

  // The automatic check starts from the event loop, once the window is
  // up; it never holds start-up, and only a new version is ever shown.
  QTimer::singleShot(0, this, [this] {
    updateChecker_->checkForNewVersion(false, checkForUpdates_, [](const auto&) {});
  });

  std::vector<std::string> recent;
  for (const QString& path : preferences_->arrayForKey(keys::kRecentItems))
    recent.push_back(Encoded(path));
  streller_->setRecentItems(std::move(recent));

  setupMenus();
}

void StrellAppController::connectControls() {
  PreferencesWindow& p = *preferencesWindow_;
  // clicked and activated come from the user only, never from the
  // start-up code setting the controls.
  for (const PassRow& row : PassTable()) {
    QCheckBox* box = p.scanButton(row.id);
    connect(box, &QCheckBox::clicked, this,
            [this, box, id = row.id] { takeScanFlagFrom(id, box); });
  }
  using Slot = void (StrellAppController::*)(const QAbstractButton*);
  const std::pair<QCheckBox*, Slot> boxes[] = {
      {p.extendedButton, &StrellAppController::takeExtendedDetectionFrom},
      {p.updateButton, &StrellAppController::takeCheckForUpdateFrom},
      {p.dontSaveDuplicatesButton, &StrellAppController::takeDontSaveDuplicatesFrom},
      {p.openOutputFolderButton, &StrellAppController::takeOpenOutputFolderFrom},
      {p.writeReportButton, &StrellAppController::takeWriteReportFrom},
  };
  for (const auto& [box, slot] : boxes)
    connect(box, &QCheckBox::clicked, this, [this, box = box, slot = slot] { (this->*slot)(box); });
  connect(p.updateIntervalButton, &QComboBox::activated, this,
          [this, &p] { takeUpdateIntervalFrom(p.updateIntervalButton); });
  connect(p.saveRadioButtons, &QButtonGroup::idClicked, this,
          [this, &p] { takeSaveLocationFrom(p.saveRadioButtons); });
  connect(p.chooseButton, &QPushButton::clicked, this, &StrellAppController::chooseSaveLocation);
  for (QSpinBox* field : {p.minSizeField, p.maxSizeField, p.minWidthField, p.minHeightField})
    connect(field, &QSpinBox::valueChanged, this, [this, field] { takeFilterFrom(field); });

  MainWindow& w = *strellWindow_;
  connect(w.openAction, &QAction::triggered, this, &StrellAppController::openAndStrell);
  connect(w.temporaryItemsAction, &QAction::triggered, this,
          &StrellAppController::strellTemporaryItems);
  connect(w.stopAction, &QAction::triggered, this, &StrellAppController::stopStrelling);
  connect(w.stopStrellerButton, &QPushButton::clicked, this, &StrellAppController::stopStrelling);
  connect(w.preferencesAction, &QAction::triggered, this, &StrellAppController::showPreferences);
  connect(w.checkForUpdateAction, &QAction::triggered, this, &StrellAppController::checkForUpdate);
  connect(w.webPageAction, &QAction::triggered, this, &StrellAppController::gotoStrellerWebPage);
  connect(w.aboutAction, &QAction::triggered, this, &StrellAppController::showAbout);
  connect(&w, &MainWindow::resultOpenRequested, this, &StrellAppController::openResult);
  connect(&w, &MainWindow::resultRevealRequested, this, &StrellAppController::revealResult);
  connect(&w, &MainWindow::outputFolderOpenRequested, this,
          &StrellAppController::openOutputFolderNow);
  connect(w.quitAction, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
  connect(&w, &MainWindow::closeRequested, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

// --- Preference actions -------------------------------------------------------

namespace {
// The low byte of the control's value, as a flag.
bool FlagOf(const QAbstractButton* sender) {
  return (static_cast<unsigned>(sender->isChecked() ? 1 : 0) & 0xFF) != 0;
}
}  // namespace

void StrellAppController::takeScanFlagFrom(PassId id, const QAbstractButton* sender) {
  const bool on = FlagOf(sender);
  streller_->setScanSetting(id, ScanSettingFromStored(Pass(id).byDefault, on));
  preferences_->setBool(KeyOf(Pass(id)), on);
}

void StrellAppController::takeExtendedDetectionFrom(const QAbstractButton* sender) {
  const bool on = FlagOf(sender);
  streller_->setExtendedDetection(on);
  preferences_->setBool(keys::kExtendedDetection, on);
  // Passes that follow the switch show what they will do now.
  for (const PassRow& row : PassTable())
    preferencesWindow_->scanButton(row.id)->setChecked(streller_->scanFor(row.id));
  preferencesWindow_->showExtendedDetection(on);
}

void StrellAppController::takeCheckForUpdateFrom(const QAbstractButton* sender) {
  checkForUpdates_ = FlagOf(sender);
  preferences_->setBool(keys::kCheckForUpdates, checkForUpdates_);
}

void StrellAppController::takeDontSaveDuplicatesFrom(const QAbstractButton* sender) {
  const bool on = FlagOf(sender);
  streller_->setDontSaveDuplicates(on);
  preferences_->setBool(keys::kDontSaveDuplicates, on);
}

void StrellAppController::takeOpenOutputFolderFrom(const QAbstractButton* sender) {
  openOutputFolder_ = FlagOf(sender);
  preferences_->setBool(keys::kOpenOutputFolder, openOutputFolder_);
}

void StrellAppController::takeWriteReportFrom(const QAbstractButton* sender) {
  const bool on = FlagOf(sender);
  streller_->setWriteReport(on);
  preferences_->setBool(keys::kWriteReport, on);
}

void StrellAppController::takeFilterFrom(const QSpinBox* sender) {
  const PreferencesWindow& p = *preferencesWindow_;
  if (sender == p.minSizeField)
    streller_->setMinItemSize(static_cast<uint64_t>(sender->value()));
  else if (sender == p.maxSizeField)
    streller_->setMaxItemSize(static_cast<uint64_t>(sender->value()));
  else
    streller_->setMinPictureSize(static_cast<uint32_t>(p.minWidthField->value()),
                                 static_cast<uint32_t>(p.minHeightField->value()));
  preferences_->setInteger(FilterKey(p, sender), sender->value());
}

void StrellAppController::takeUpdateIntervalFrom(const QComboBox* sender) {
  preferences_->setInteger(keys::kCheckForUpdatesInterval, sender->currentIndex());
}

void StrellAppController::takeSaveLocationFrom(const QButtonGroup* sender) {
  // The stored folder stays: choosing the folder cell alone reuses it.
  const int tag = sender->checkedId();
  streller_->setSaveRadioChosen(tag);
  preferences_->setInteger(keys::kSaveRadioChosen, tag);
}

void StrellAppController::chooseSaveLocation() {
  auto* panel = new OpenPanel(preferencesWindow_.get());
  // A folder chooser: the folder shown is chosen unless one in it is
  // selected; double-click enters a folder. It can make new folders.
  panel->setFileMode(QFileDialog::Directory);
  panel->setOption(QFileDialog::ShowDirsOnly, true);
  panel->setLabelText(QFileDialog::Accept, tr("Choose"));
  panel->setWindowTitle(tr("Choose Folder"));
  panel->setDirectory(panelFolder());
  connect(panel, &QFileDialog::finished, this, [this, panel](int returnCode) {
    const QString path = panel->selectedFiles().value(0);
    if (returnCode == 1) rememberPanelFolder(panel->directory().absolutePath());
    panel->deleteLater();
    strellLocationPanelDidEnd(returnCode, path);
  });
  panel->open();
}

QString StrellAppController::panelFolder() const {
  const QString last = preferences_->stringForKey(keys::kLastPanelFolder);
  return !last.isEmpty() && QFileInfo(last).isDir() ? last : QDir::homePath();
}

void StrellAppController::rememberPanelFolder(const QString& folder) {
  preferences_->setString(keys::kLastPanelFolder, folder);
}

void StrellAppController::strellLocationPanelDidEnd(int returnCode, const QString& path) {
  if (returnCode != 1) return;
  streller_->setSaveRadioChosen(2);
  streller_->setSaveFolder(Encoded(path));
  preferencesWindow_->strellFolderField->setText(Decoded(AbbreviateTilde(Encoded(path))));
  preferencesWindow_->saveRadioButtons->button(2)->setChecked(true);
  preferences_->setString(keys::kSaveFolder, path);
  preferences_->setInteger(keys::kSaveRadioChosen, 2);
}

void StrellAppController::showPreferences() {
  preferencesWindow_->show();
  preferencesWindow_->raise();
  preferencesWindow_->activateWindow();
}

// --- Requests and the job's hand-offs ----------------------------------------

void StrellAppController::threadStrell(const QStringList& paths) {
  if (terminated_) return;
  if (requestInterceptor_) {
    requestInterceptor_(paths);
    return;
  }
  std::vector<std::string> list;
  list.reserve(static_cast<size_t>(paths.size()));
  for (const QString& path : paths) list.push_back(Encoded(path));
  streller_->threadStrell(list);
}

void StrellAppController::reportStrellerError(const QString& message) {
  if (terminated_) return;  // no alert while the program goes away
  Alert alert;
  alert.message = message;
  alert.buttons = {tr("OK")};
  alerts_->runModal(alert);
}

void StrellAppController::jobFinished(bool stopped) {
  if (terminated_) return;
  MainWindow& w = *strellWindow_;
  w.finishProgress();
  w.jobFinished(stopped);
  // A long job that ends while the user is elsewhere says so.
  if (w.jobElapsed() >= services_.notifyAfterMs && !w.isActiveWindow()) {
    const QString title = tr("Strellbox");
    const QString body = w.jobStateField->text();
    if (services_.notify)
      services_.notify(title, body);
    else
      ShowDesktopNotification(title, body);
  }
}

void StrellAppController::openStrellFolder(const QString& folder, bool stopped) {
  if (terminated_ || stopped || !openOutputFolder_ || folder == lastOpenedFolder_) return;
  lastOpenedFolder_ = folder;
  openUrl(QUrl::fromLocalFile(folder));
}

void StrellAppController::openResult(int row) {
  if (row < 0 || row >= strellWindow_->results->count()) return;
  openUrl(QUrl::fromLocalFile(strellWindow_->results->row(row).path));
}

void StrellAppController::revealResult(int row) {
  if (row < 0 || row >= strellWindow_->results->count()) return;
  const QString file = strellWindow_->results->row(row).path;
  if (services_.revealFile)
    services_.revealFile(file);
  else
    RevealInFileManager(file, [this](const QUrl& url) { openUrl(url); });
}

void StrellAppController::openOutputFolderNow(const QString& folder) {
  if (!folder.isEmpty()) openUrl(QUrl::fromLocalFile(folder));
}

void StrellAppController::showAbout() {
  Alert alert;
  alert.style = Alert::Style::About;
  alert.message = AboutTitle();
  alert.informativeText = AboutText();
  alert.buttons = {tr("OK")};
  alerts_->runModal(alert);
}

void StrellAppController::openUrl(const QUrl& url) {
  if (services_.openUrl)
    services_.openUrl(url);
  else
    QDesktopServices::openUrl(url);
}

void StrellAppController::checkForUpdate() {
  // One at a time; the command waits, greyed, for its answer.
  if (checkingForUpdate_) return;
  checkingForUpdate_ = true;
  strellWindow_->checkForUpdateAction->setEnabled(false);
  updateChecker_->checkForNewVersion(true, checkForUpdates_,
                                     [this](const std::optional<QString>& result) {
                                       checkingForUpdate_ = false;
                                       strellWindow_->checkForUpdateAction->setEnabled(true);
                                       if (!result || terminated_) return;
                                       Alert alert;
                                       alert.message = *result;
                                       alert.buttons = {tr("OK")};
                                       alerts_->runModal(alert);
                                     });
}

void StrellAppController::applicationWillTerminate() {
  if (terminated_) return;
  terminated_ = true;

  QStringList recent;
  for (const std::string& path : streller_->recentItems()) recent.append(Decoded(path));
  preferences_->setArray(keys::kRecentItems, recent);
  preferences_->synchronize();

  // The worker may be waiting for this thread to take a preview image, so
  // keep serving events until it has finished; only then join it.
  streller_->requestShutdown();
  while (streller_->jobActive()) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    QThread::msleep(2);
  }
  streller_->shutdown();
}

}  // namespace strellbox
