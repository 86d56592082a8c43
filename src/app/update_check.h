// The check for a newer version on the maker's web site: a reachability
// test, the version file (a property list with a "Version" entry) and the
// alert that offers the download page.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

namespace strellbox {

class AlertPresenter;
class Preferences;

// The hosts the check talks to, each "host" or "host:port". Their defaults
// are build settings; STRELLBOX_MAKER_HOST, STRELLBOX_REACH_HOST_1 and
// STRELLBOX_REACH_HOST_2 in the environment replace them.
struct NetworkHosts {
  QString maker;
  QString reach1;
  QString reach2;
  static NetworkHosts fromBuildAndEnvironment();
};

// A host is reachable when its name resolves and a TCP connection to it
// opens directly (no proxy), each within the timeout.
bool HostReachable(const QString& hostAndPort, int timeoutMs);
// The first reachability host, else the second.
bool InternetOnline(const NetworkHosts& hosts, int timeoutMs);

// Seconds between automatic checks for an interval index (0 for unknown).
int UpdateIntervalSeconds(int index);
// "2004-08-24 10:45:32 +0600": local date, time and numeric offset.
QString DateDescription(const QDateTime& when);
// The date of such a text; the most distant past when it does not parse.
QDateTime DateFromDescription(const QString& text);
// The "Version" string of a property list (XML or binary) whose top level
// is a dictionary; nothing for anything else.
std::optional<QString> VersionFromPropertyList(const QByteArray& bytes);

class UpdateChecker {
  Q_DECLARE_TR_FUNCTIONS(UpdateChecker)

 public:
  struct Services {
    Preferences* preferences = nullptr;
    AlertPresenter* alerts = nullptr;
    std::function<void(const QUrl&)> openUrl;
    NetworkHosts hosts;
    // The running build's version; nothing when the build has none.
    std::optional<QString> runningVersion;
    int timeoutMs = 5000;
  };

  explicit UpdateChecker(Services services) : services_(std::move(services)) {}

  // The check; force is the user's command. Returns a text for the caller
  // to show, or nothing (the new-version alert is shown in here).
  std::optional<QString> checkForNewVersion(bool force, bool checkForUpdates);

  // An address on the maker's web host.
  QUrl makerUrl(const QString& path) const;

 private:
  std::optional<QByteArray> download(const QUrl& url) const;

  Services services_;
};

}  // namespace strellbox
