// The check for a newer version on the maker's web site: a reachability
// test, the version file (a property list with a "Version" entry) and the
// alert that offers the download page. Every step runs on the GUI thread's
// event loop without blocking it, each bounded by a timeout.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

class QNetworkAccessManager;

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

// Looks a host name up and calls `done` with its addresses (none on
// failure), unless `context` is gone by then. It may never call at all:
// callers bound their wait themselves.
using Resolver = std::function<void(const QString& host, QObject* context,
                                    std::function<void(const QList<QHostAddress>&)> done)>;
// The system's resolver (QHostInfo); address literals answer at once.
Resolver SystemResolver();

// Is the network reachable: the two hosts are probed at once, each by a
// name lookup and a direct TCP connection (no proxy); reachable when one
// of them connects. `done` is called once, within timeoutMs, on the
// thread of `context`, unless `context` is destroyed first.
void ProbeInternetOnline(const NetworkHosts& hosts, const Resolver& resolver, int timeoutMs,
                         QObject* context, std::function<void(bool online)> done);

// Seconds between automatic checks for an interval index (0 for unknown).
int UpdateIntervalSeconds(int index);
// "2004-08-24 10:45:32 +0600": local date, time and numeric offset.
QString DateDescription(const QDateTime& when);
// The date of such a text; the most distant past when it does not parse.
QDateTime DateFromDescription(const QString& text);
// The "Version" string of a property list (XML or binary) whose top level
// is a dictionary; nothing for anything else.
std::optional<QString> VersionFromPropertyList(const QByteArray& bytes);

class UpdateChecker : public QObject {
  Q_OBJECT

 public:
  struct Services {
    Preferences* preferences = nullptr;
    AlertPresenter* alerts = nullptr;
    std::function<void(const QUrl&)> openUrl;
    NetworkHosts hosts;
    Resolver resolver;  // empty: the system's
    // The running build's version; nothing when the build has none.
    std::optional<QString> runningVersion;
    // Bound of each network step: the reachability test, the download.
    int timeoutMs = 5000;
  };
  // The text a check answers for the caller to show, or nothing (the
  // new-version alert is shown by the check itself).
  using Done = std::function<void(const std::optional<QString>& result)>;

  explicit UpdateChecker(Services services, QObject* parent = nullptr);
  ~UpdateChecker() override;

  // Starts a check and returns at once; `done` follows from the event
  // loop (or at once when there is nothing to do). force is the user's
  // command; the automatic check (force false) answers only by the
  // new-version alert.
  void checkForNewVersion(bool force, bool checkForUpdates, Done done);

  // An address on the maker's web host.
  QUrl makerUrl(const QString& path) const;

 private:
  void download(const QUrl& url, std::function<void(std::optional<QByteArray>)> done);
  std::optional<QString> decide(const QByteArray& bytes, bool beta);

  Services services_;
  QNetworkAccessManager* network_;
};

}  // namespace strellbox
