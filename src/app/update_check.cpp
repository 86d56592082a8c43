#include "app/update_check.h"

#include <fmt/format.h>
#include <plist/plist.h>

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
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

namespace {

// One reachability test: the attempts still out (name lookups and
// connections) and the deadline; it answers once and then goes away.
class OnlineProbe : public QObject {
 public:
  OnlineProbe(QObject* context, int timeoutMs, std::function<void(bool)> done)
      : QObject(context), done_(std::move(done)) {
    QTimer::singleShot(timeoutMs, this, [this] { finish(false); });
  }
  void attemptStarted() { ++pending_; }
  void attemptFailed() {
    if (--pending_ <= 0) finish(false);
  }
  void finish(bool online) {
    if (finished_) return;
    finished_ = true;
    deleteLater();  // its sockets and lookups go with it
    auto done = std::move(done_);
    done(online);  // last: it may destroy the context, and this with it
  }

 private:
  std::function<void(bool)> done_;
  int pending_ = 0;
  bool finished_ = false;
};

}  // namespace

Resolver SystemResolver() {
  return [](const QString& host, QObject* context,
            std::function<void(const QList<QHostAddress>&)> done) {
    const QHostAddress literal(host);
    if (!literal.isNull()) {
      QTimer::singleShot(0, context, [done = std::move(done), literal] { done({literal}); });
      return;
    }
    QHostInfo::lookupHost(host, context, [done = std::move(done)](const QHostInfo& info) {
      done(info.error() == QHostInfo::NoError ? info.addresses() : QList<QHostAddress>());
    });
  };
}

void ProbeInternetOnline(const NetworkHosts& hosts, const Resolver& resolver, int timeoutMs,
                         QObject* context, std::function<void(bool online)> done) {
  auto* probe = new OnlineProbe(context, timeoutMs, std::move(done));
  bool anyHost = false;
  for (const QString& hostAndPort : {hosts.reach1, hosts.reach2}) {
    const QUrl url = HostUrl(hostAndPort);
    if (!url.isValid() || url.host().isEmpty()) continue;
    anyHost = true;
    probe->attemptStarted();
    const auto port = static_cast<quint16>(url.port(80));
    resolver(url.host(), probe, [probe, port](const QList<QHostAddress>& addresses) {
      int tried = 0;
      for (const QHostAddress& address : addresses) {
        if (++tried > kMaxAddressesTried) break;
        auto* socket = new QTcpSocket(probe);
        socket->setProxy(QNetworkProxy::NoProxy);
        QObject::connect(socket, &QTcpSocket::connected, probe, [probe] { probe->finish(true); });
        QObject::connect(socket, &QAbstractSocket::errorOccurred, probe,
                         [probe] { probe->attemptFailed(); });
        probe->attemptStarted();
        socket->connectToHost(address, port);
      }
      probe->attemptFailed();  // the lookup itself is done
    });
  }
  // No host to try: not reachable, answered from the event loop as always.
  if (!anyHost) QTimer::singleShot(0, probe, [probe] { probe->finish(false); });
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

UpdateChecker::UpdateChecker(Services services, QObject* parent)
    : QObject(parent), services_(std::move(services)), network_(new QNetworkAccessManager(this)) {
  if (!services_.resolver) services_.resolver = SystemResolver();
}

UpdateChecker::~UpdateChecker() = default;

void UpdateChecker::download(const QUrl& url, std::function<void(std::optional<QByteArray>)> done) {
  if (!url.isValid()) {
    done(std::nullopt);
    return;
  }
  network_->setProxy(IsLoopbackHost(url.host()) ? QNetworkProxy(QNetworkProxy::NoProxy)
                                                : QNetworkProxy(QNetworkProxy::DefaultProxy));
  QNetworkRequest request(url);
  request.setTransferTimeout(services_.timeoutMs);
  QNetworkReply* reply = network_->get(request);
  // The transfer timeout counts silence once connected; this bounds the
  // whole download, the name lookup and the connection included.
  QTimer::singleShot(services_.timeoutMs, reply, [reply] { reply->abort(); });
  connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
    if (received > kMaxVersionFileBytes) reply->abort();
  });
  connect(reply, &QNetworkReply::finished, this, [reply, done = std::move(done)] {
    std::optional<QByteArray> bytes;
    if (reply->error() == QNetworkReply::NoError) bytes = reply->readAll();
    reply->deleteLater();
    done(std::move(bytes));
  });
}

std::optional<QString> UpdateChecker::decide(const QByteArray& bytes, bool beta) {
  const std::optional<QString>& running = services_.runningVersion;
  std::optional<QString> result;
  [&] {
    const std::optional<QString> newest = VersionFromPropertyList(bytes);
    if (!newest || newest->size() <= 2) return;
    StrellLog(fmt::format("NewestVersion {}\n", newest->toStdString()));
    if (!running) return;
    if (*running == *newest) {
      result = QCoreApplication::translate("UpdateChecker", "You have the newest version!");
      return;
    }
    Alert alert;
    alert.message = beta ? QCoreApplication::translate(
                               "UpdateChecker", "A new beta version of Strellbox is available")
                         : QCoreApplication::translate("UpdateChecker",
                                                       "A new version of Strellbox is available");
    alert.buttons = {QCoreApplication::translate("UpdateChecker", "Go to Downlaod Page"),
                     QCoreApplication::translate("UpdateChecker", "Cancel")};
    if (services_.alerts->runModal(alert) == 0 && services_.openUrl)
      services_.openUrl(makerUrl(beta ? QStringLiteral("/Strellbox/BetaDownload.html")
                                      : QStringLiteral("/Strellbox/Download.html")));
  }();
  services_.preferences->setString(keys::kLastVersionCheck,
                                   DateDescription(QDateTime::currentDateTime()));
  return result;
}

void UpdateChecker::checkForNewVersion(bool force, bool checkForUpdates, Done done) {
  Preferences& preferences = *services_.preferences;
  if (!checkForUpdates && !force) return done(std::nullopt);
  // The interval is asked before the network: an automatic check that is
  // not due sends nothing at all.
  const QDateTime lastCheck =
      DateFromDescription(preferences.stringForKey(keys::kLastVersionCheck));
  const int interval =
      UpdateIntervalSeconds(preferences.integerForKey(keys::kCheckForUpdatesInterval));
  if (!force && lastCheck.secsTo(QDateTime::currentDateTime()) <= interval)
    return done(std::nullopt);

  ProbeInternetOnline(
      services_.hosts, services_.resolver, services_.timeoutMs, this,
      [this, force, done = std::move(done)](bool online) mutable {
        if (!online) {
          done(force ? std::optional<QString>(
                           QCoreApplication::translate("UpdateChecker", "No network connection."))
                     : std::nullopt);
          return;
        }
        const std::optional<QString>& running = services_.runningVersion;
        const bool beta = running && running->contains(QLatin1Char('b'));
        download(makerUrl(beta ? QStringLiteral("/Strellbox/betaversion.txt")
                               : QStringLiteral("/Strellbox/version.txt")),
                 [this, beta, done = std::move(done)](const std::optional<QByteArray>& bytes) {
                   // A failed download leaves the date of the last check as it was.
                   if (!bytes || bytes->isEmpty())
                     done(QCoreApplication::translate(
                         "UpdateChecker", "No information about a new version is available!"));
                   else
                     done(decide(*bytes, beta));
                 });
      });
}

}  // namespace strellbox
