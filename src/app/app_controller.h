// The application's controller on the Qt side: it owns the scan engine's
// StrellController, the windows and the preference store, and is the
// target of every menu item and preference control. Its slots carry the
// program's action names.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

#include "app/update_check.h"
#include "engine/pass_table.h"

class QAbstractButton;
class QButtonGroup;
class QComboBox;
class QSpinBox;

namespace strellbox {

class AlertPresenter;
class MainWindow;
class Preferences;
class PreferencesWindow;
class QtDisplay;
class StrellController;

// What the controller needs from outside; tests replace each part.
struct AppServices {
  // The preference file; empty means the user's standard settings.
  QString settingsFile;
  // Modal alerts; nullptr means message boxes.
  AlertPresenter* alerts = nullptr;
  // Opens folders and web pages; empty means the desktop's handler.
  std::function<void(const QUrl&)> openUrl;
  NetworkHosts hosts = NetworkHosts::fromBuildAndEnvironment();
  Resolver resolver;  // empty: the system's
  std::optional<QString> runningVersion = QStringLiteral(STRELLBOX_VERSION);
  int networkTimeoutMs = 5000;
  // Shows a written file in its folder; empty means the file manager.
  std::function<void(const QString& file)> revealFile;
  // A desktop notification; empty means the desktop's service.
  std::function<void(const QString& title, const QString& body)> notify;
  // A job that took at least this long notifies when it ends while the
  // window is not active.
  int notifyAfterMs = 10000;
};

class StrellAppController : public QObject {
  Q_OBJECT

 public:
  // Loads the preferences into the engine and the controls, builds the
  // menus and starts the automatic update check, which answers from the
  // event loop (so after the window is shown).
  explicit StrellAppController(AppServices services = {}, QObject* parent = nullptr);
  // Quits: saves the recent list, stops a running job and waits for it.
  ~StrellAppController() override;

  StrellController& streller() { return *streller_; }
  MainWindow* strellWindow() const { return strellWindow_.get(); }
  PreferencesWindow* preferencesWindow() const { return preferencesWindow_.get(); }
  Preferences& preferences() { return *preferences_; }
  bool checkForUpdates() const { return checkForUpdates_; }
  bool openOutputFolder() const { return openOutputFolder_; }
  // A forced update check is under way.
  bool checkingForUpdate() const { return checkingForUpdate_; }

  // Test seam: when set, scan requests go here instead of to the engine.
  void setRequestInterceptorForTesting(std::function<void(const QStringList&)> interceptor) {
    requestInterceptor_ = std::move(interceptor);
  }

 public slots:
  // Preference controls; each writes its key at once.
  // The check box of a pass of the pass table.
  void takeScanFlagFrom(PassId id, const QAbstractButton* sender);
  void takeExtendedDetectionFrom(const QAbstractButton* sender);
  void takeCheckForUpdateFrom(const QAbstractButton* sender);
  void takeDontSaveDuplicatesFrom(const QAbstractButton* sender);
  void takeOpenOutputFolderFrom(const QAbstractButton* sender);
  void takeWriteReportFrom(const QAbstractButton* sender);
  // A noise filter's field: its key and the engine's bound.
  void takeFilterFrom(const QSpinBox* sender);
  void takeUpdateIntervalFrom(const QComboBox* sender);
  void takeSaveLocationFrom(const QButtonGroup* sender);
  void chooseSaveLocation();
  // returnCode 1 is the panel's OK.
  void strellLocationPanelDidEnd(int returnCode, const QString& path);

  // Sources of scan requests.
  void openAndStrell();
  void openForStrellingPanelDidEnd(int returnCode, const QStringList& filenames);
  void strellBrowserItems(const QString& title);
  void strellRecentItems(const QString& title);
  void strellTemporaryItems();
  // Files handed over on the command line or by the desktop.
  bool openFile(const QString& path);
  void openFiles(const QStringList& paths);
  // Paths a later launch handed over: the window comes to the front and
  // scans them.
  void handOver(const QStringList& paths);
  void threadStrell(const QStringList& paths);

  void stopStrelling();
  void gotoStrellerWebPage();
  void checkForUpdate();
  void showPreferences();
  void showAbout();

  void setupMenus();
  void setupRecentMenu();
  void clearRecentMenu();

  // The results list: open a written file with the desktop's application,
  // show it in its folder, open the output folder.
  void openResult(int row);
  void revealResult(int row);
  void openOutputFolderNow(const QString& folder);

  // Display work the job hands to the GUI thread.
  void reportStrellerError(const QString& message);
  // A job ended; stopped when it was asked to stop (not by a failure).
  void jobFinished(bool stopped);
  // The job's end offers its output folder; it is opened when the
  // preference says so and the job was not stopped.
  void openStrellFolder(const QString& folder, bool stopped);

  // The program is quitting: save the recent list, stop a running job and
  // wait for it while still serving the preview hand-off. Runs once.
  void applicationWillTerminate();

 private:
  void awakeFromNib();
  void connectControls();
  void openUrl(const QUrl& url);
  // Where a file panel starts: the folder the last one ended in, else home.
  QString panelFolder() const;
  void rememberPanelFolder(const QString& folder);

  AppServices services_;
  std::unique_ptr<AlertPresenter> ownAlerts_;
  AlertPresenter* alerts_;
  std::unique_ptr<Preferences> preferences_;
  std::unique_ptr<MainWindow> strellWindow_;
  std::unique_ptr<PreferencesWindow> preferencesWindow_;
  std::unique_ptr<QtDisplay> display_;
  std::unique_ptr<StrellController> streller_;
  std::unique_ptr<UpdateChecker> updateChecker_;
  std::function<void(const QStringList&)> requestInterceptor_;
  bool checkForUpdates_ = true;
  bool openOutputFolder_ = true;
  bool checkingForUpdate_ = false;
  // A queued request runs inside the job before it, and both announce the
  // last output folder: it is opened once.
  QString lastOpenedFolder_;
  bool menusBuilt_ = false;
  bool terminated_ = false;
};

}  // namespace strellbox
