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
  std::optional<QString> runningVersion = QStringLiteral(STRELLBOX_VERSION);
  int networkTimeoutMs = 5000;
};

class StrellAppController : public QObject {
  Q_OBJECT

 public:
  // Loads the preferences into the engine and the controls, runs the
  // automatic update check and builds the menus.
  explicit StrellAppController(AppServices services = {}, QObject* parent = nullptr);
  // Quits: saves the recent list, stops a running job and waits for it.
  ~StrellAppController() override;

  StrellController& streller() { return *streller_; }
  MainWindow* strellWindow() const { return strellWindow_.get(); }
  PreferencesWindow* preferencesWindow() const { return preferencesWindow_.get(); }
  Preferences& preferences() { return *preferences_; }
  bool checkForUpdates() const { return checkForUpdates_; }

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
  void threadStrell(const QStringList& paths);

  void stopStrelling();
  void gotoStrellerWebPage();
  void checkForUpdate();
  void showPreferences();

  void setupMenus();
  void setupRecentMenu();

  // Display work the job hands to the GUI thread.
  void reportStrellerError(const QString& message);
  void openStrellFolder(const QString& folder);

  // The program is quitting: save the recent list, stop a running job and
  // wait for it while still serving the preview hand-off. Runs once.
  void applicationWillTerminate();

 private:
  void awakeFromNib();
  void connectControls();
  void openUrl(const QUrl& url);

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
  bool menusBuilt_ = false;
  bool terminated_ = false;
};

}  // namespace strellbox
