// Helpers for the application's Qt tests: a private environment per test
// (HOME, XDG_CONFIG_HOME, XDG_RUNTIME_DIR, TMPDIR and a settings file of
// its own), a recording alert presenter, and the controller's services
// pointed at loopback only.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/alerts.h"
#include "app/app_controller.h"
#include "support/test_support.h"

namespace strellbox::test {

class AppEnvironment {
 public:
  AppEnvironment();
  ~AppEnvironment();
  AppEnvironment(const AppEnvironment&) = delete;
  AppEnvironment& operator=(const AppEnvironment&) = delete;

  const std::filesystem::path& root() const { return dir_.path(); }
  std::filesystem::path home() const { return dir_.path() / "home"; }
  QString homeQ() const { return QString::fromStdString(home().string()); }
  QString settingsFile() const;

 private:
  void set(const char* name, const std::string& value);

  TempDir dir_;
  std::map<std::string, std::optional<std::string>> saved_;
};

class RecordingAlerts : public AlertPresenter {
 public:
  int runModal(const Alert& alert) override {
    shown.append(alert);
    return answer;
  }
  QList<Alert> shown;
  int answer = 0;  // index of the button "chosen"
};

// A loopback port on which nothing listens (bound, then released).
quint16 ClosedLoopbackPort();

// Services for a controller in a test: the environment's settings file,
// the recording alerts, opened URLs recorded, every host on a closed
// loopback port (so the automatic update check finds no network).
AppServices TestServices(const AppEnvironment& env, RecordingAlerts& alerts, QList<QUrl>& opened);

// An image of that size encoded by Qt's PNG writer.
QByteArray PngBytes(int width, int height);

// The text a label of rich text shows.
QString PlainText(const QString& html);

}  // namespace strellbox::test
