#include "app/update_check.h"

#include <fmt/format.h>
#include <plist/plist.h>

#include <QEventLoop>
#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTimeZone>
#include <QTimer>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "app/alerts.h"
#include "app/preferences.h"
#include "engine/log.h"

#ifndef STRELLBOX_MAKER_HOST
#define STRELLBOX_MAKER_HOST "www.strellbox.example"
#endif
#ifndef STRELLBOX_REACH_HOST_1
#define STRELLBOX_REACH_HOST_1 "reach-one.strellbox.example"
#endif
#ifndef STRELLBOX_REACH_HOST_2
#define STRELLBOX_REACH_HOST_2 "reach-two.strellbox.example"
#endif

namespace strellbox {

namespace {

// A version file is a few hundred bytes; anything far larger is not one.
constexpr qint64 kMaxVersionFileBytes = 1 << 20;
// Addresses of one name tried by the reachability test.
constexpr int kMaxAddressesTried = 4;

QString FromEnvironment(const char* name, const char* fallback) {
  const QByteArray value = qgetenv(name);
  return value.isEmpty() ? QString::fromLatin1(fallback) : QString::fromLocal8Bit(value);
}

QUrl HostUrl(const QString& hostAndPort) {
  return QUrl(QStringLiteral("http://%1/").arg(hostAndPort), QUrl::StrictMode);
}

bool IsLoopbackHost(const QString& host) {
  const QHostAddress address(host);
  return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
         (!address.isNull() && address.isLoopback());
}

}  // namespace

NetworkHosts NetworkHosts::fromBuildAndEnvironment() {
  return {FromEnvironment("STRELLBOX_MAKER_HOST", STRELLBOX_MAKER_HOST),
          FromEnvironment("STRELLBOX_REACH_HOST_1", STRELLBOX_REACH_HOST_1),
          FromEnvironment("STRELLBOX_REACH_HOST_2", STRELLBOX_REACH_HOST_2)};
}

bool HostReachable(const QString& hostAndPort, int timeoutMs) {
  const QUrl url = HostUrl(hostAndPort);
  if (!url.isValid() || url.host().isEmpty()) return false;
  // The lookup is bounded by the same timeout: a resolver that does not
  // answer must not hold up start-up.
  QHostInfo info;
  bool resolved = false;
  QEventLoop loop;
  const int lookup = QHostInfo::lookupHost(url.host(), &loop, [&](const QHostInfo& answer) {
    info = answer;
    resolved = true;
    loop.quit();
  });
  if (!resolved) {
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
  }
  if (!resolved) {
    QHostInfo::abortHostLookup(lookup);
    return false;
  }
  if (info.error() != QHostInfo::NoError) return false;
  int tried = 0;
  for (const QHostAddress& address : info.addresses()) {
    if (++tried > kMaxAddressesTried) break;
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(address, static_cast<quint16>(url.port(80)));
    if (socket.waitForConnected(timeoutMs)) {
      socket.abort();
      return true;
    }
  }
  return false;
}

bool InternetOnline(const NetworkHosts& hosts, int timeoutMs) {
  return HostReachable(hosts.reach1, timeoutMs) || HostReachable(hosts.reach2, timeoutMs);
}

int UpdateIntervalSeconds(int index) {
  switch (index) {
    case 1:
      return 86400;
    case 2:
      return 604800;
    case 3:
      return 2592000;
    default:
      return 0;
  }
}

QString DateDescription(const QDateTime& when) {
  const QDateTime local = when.toLocalTime();
  const int offset = local.offsetFromUtc();
  const int minutes = std::abs(offset) / 60;
  return QStringLiteral("%1 %2%3%4")
      .arg(local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
      .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
      .arg(minutes / 60, 2, 10, QLatin1Char('0'))
      .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QDateTime DateFromDescription(const QString& text) {
  static const QRegularExpression form(
      QStringLiteral(R"(^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2}) ([+-])(\d{2})(\d{2})$)"));
  const QRegularExpressionMatch m = form.match(text.trimmed());
  const QDateTime distantPast(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
  if (!m.hasMatch()) return distantPast;
  auto n = [&m](int i) { return m.captured(i).toInt(); };
  const QDate date(n(1), n(2), n(3));
  const QTime time(n(4), n(5), n(6));
  const int offset = (m.captured(7) == QLatin1String("-") ? -1 : 1) * (n(8) * 3600 + n(9) * 60);
  if (!date.isValid() || !time.isValid()) return distantPast;
  return QDateTime(date, time, QTimeZone(offset));
}

std::optional<QString> VersionFromPropertyList(const QByteArray& bytes) {
  if (bytes.isEmpty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  plist_t root = nullptr;
  plist_from_memory(bytes.constData(), static_cast<uint32_t>(bytes.size()), &root);
  if (!root) return std::nullopt;
  std::optional<QString> version;
  if (plist_get_node_type(root) == PLIST_DICT) {
    plist_t entry = plist_dict_get_item(root, "Version");
    if (entry && plist_get_node_type(entry) == PLIST_STRING) {
      // The pointer form: the copying accessor aborts on a string holding
      // a NUL byte.
      uint64_t length = 0;
      if (const char* text = plist_get_string_ptr(entry, &length))
        version = QString::fromUtf8(text, static_cast<qsizetype>(length));
    }
  }
  plist_free(root);
  return version;
}

QUrl UpdateChecker::makerUrl(const QString& path) const {
  return QUrl(QStringLiteral("http://%1%2").arg(services_.hosts.maker, path));
}

std::optional<QByteArray> UpdateChecker::download(const QUrl& url) const {
  if (!url.isValid()) return std::nullopt;
  QNetworkAccessManager manager;
  if (IsLoopbackHost(url.host())) manager.setProxy(QNetworkProxy::NoProxy);
  QNetworkRequest request(url);
  request.setTransferTimeout(services_.timeoutMs);
  QNetworkReply* reply = manager.get(request);
  QEventLoop loop;
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                   [reply](qint64 received, qint64) {
                     if (received > kMaxVersionFileBytes) reply->abort();
                   });
  // The check is synchronous: the window takes no input until it is done.
  if (!reply->isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);
  std::optional<QByteArray> bytes;
  if (reply->error() == QNetworkReply::NoError) bytes = reply->readAll();
  delete reply;
  return bytes;
}

std::optional<QString> UpdateChecker::checkForNewVersion(bool force, bool checkForUpdates) {
  Preferences& preferences = *services_.preferences;
  std::optional<QString> result;
  const QDateTime lastCheck =
      DateFromDescription(preferences.stringForKey(keys::kLastVersionCheck));
  const int interval =
      UpdateIntervalSeconds(preferences.integerForKey(keys::kCheckForUpdatesInterval));
  const QString noInformation = tr("No information about a new version is available!");

  auto check = [&] {
    if (!checkForUpdates && !force) return;
    if (!InternetOnline(services_.hosts, services_.timeoutMs)) return;
    if (!force && lastCheck.secsTo(QDateTime::currentDateTime()) <= interval) return;

    const std::optional<QString>& running = services_.runningVersion;
    const bool beta = running && running->contains(QLatin1Char('b'));
    const std::optional<QByteArray> bytes =
        download(makerUrl(beta ? QStringLiteral("/Strellbox/betaversion.txt")
                               : QStringLiteral("/Strellbox/version.txt")));
    if (!bytes || bytes->isEmpty()) {
      result = noInformation;
      return;
    }
    [&] {
      const std::optional<QString> newest = VersionFromPropertyList(*bytes);
      if (!newest || newest->size() <= 2) return;
      StrellLog(fmt::format("NewestVersion {}\n", newest->toStdString()));
      if (!running) return;
      if (*running == *newest) {
        result = tr("You have the newest version!");
        return;
      }
      Alert alert;
      alert.message = beta ? tr("A new beta version of Strellbox is available")
                           : tr("A new version of Strellbox is available");
      alert.buttons = {tr("Go to Downlaod Page"), tr("Cancel")};
      if (services_.alerts->runModal(alert) == 0 && services_.openUrl)
        services_.openUrl(makerUrl(beta ? QStringLiteral("/Strellbox/BetaDownload.html")
                                        : QStringLiteral("/Strellbox/Download.html")));
    }();
    preferences.setString(keys::kLastVersionCheck, DateDescription(QDateTime::currentDateTime()));
  };
  check();

  if (force && !InternetOnline(services_.hosts, services_.timeoutMs)) result = noInformation;
  return result;
}

}  // namespace strellbox
