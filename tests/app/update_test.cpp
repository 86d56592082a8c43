// The update check against a web server on 127.0.0.1 started by the test:
// XML and binary version files, equal, different and beta versions, files
// that say nothing usable, an empty download, a server that is down, no
// network, a resolver and a server that never answer (bounded, and the
// event loop keeps running), and the interval of the automatic check.
#include <QAction>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <map>
#include <memory>

#include "app/main_window.h"
#include "app/preferences.h"
#include "app/update_check.h"
#include "app_test_support.h"

using namespace strellbox;
using namespace strellbox::test;

namespace {

// A web server of a few lines: answers GET with the body stored for the
// path (404 otherwise) and records every path asked for. Connections that
// send nothing (the reachability test) are simply closed by the client.
class LocalWebServer : public QObject {
 public:
  LocalWebServer() {
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
      }
    });
  }
  QString host() const { return QStringLiteral("127.0.0.1:%1").arg(server_.serverPort()); }
  std::map<QString, QByteArray> files;
  QStringList requests;

 private:
  void serve(QTcpSocket* socket) {
    QByteArray& pending = buffers_[socket];
    pending += socket->readAll();
    if (!pending.contains("\r\n\r\n")) return;
    const QList<QByteArray> requestLine = pending.left(pending.indexOf("\r\n")).split(' ');
    const QString path = QString::fromLatin1(requestLine.value(1));
    requests.append(path);
    const auto it = files.find(path);
    const QByteArray body = it == files.end() ? QByteArray("not here") : it->second;
    const QByteArray status = it == files.end() ? "404 Not Found" : "200 OK";
    socket->write("HTTP/1.1 " + status + "\r\nContent-Type: text/plain\r\nContent-Length: " +
                  QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
    buffers_.erase(socket);
  }

  QTcpServer server_;
  std::map<QTcpSocket*, QByteArray> buffers_;
};

// Takes connections and reads what comes, never answering.
class SilentServer : public QObject {
 public:
  SilentServer() {
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
      }
    });
  }
  QString host() const { return QStringLiteral("127.0.0.1:%1").arg(server_.serverPort()); }

 private:
  QTcpServer server_;
};

// A name service that never answers.
Resolver SilentResolver() {
  return [](const QString&, QObject*, std::function<void(const QList<QHostAddress>&)>) {};
}

// Runs the event loop until the check answers; records the longest time
// the loop went without running a 10 ms timer meanwhile.
struct CheckRun {
  bool finished = false;
  std::optional<QString> result;
  qint64 returnedAfterMs = 0;  // checkForNewVersion itself
  qint64 answeredAfterMs = 0;
  qint64 longestStallMs = 0;
};
CheckRun Run(UpdateChecker& checker, bool force, bool enabled) {
  CheckRun run;
  QElapsedTimer clock;
  clock.start();
  QTimer tick;
  qint64 last = 0;
  QObject::connect(&tick, &QTimer::timeout, [&] {
    run.longestStallMs = std::max(run.longestStallMs, clock.elapsed() - last);
    last = clock.elapsed();
  });
  tick.start(10);
  checker.checkForNewVersion(force, enabled, [&](const std::optional<QString>& result) {
    run.result = result;
    run.finished = true;
    run.answeredAfterMs = clock.elapsed();
  });
  run.returnedAfterMs = clock.elapsed();
  (void)QTest::qWaitFor([&] { return run.finished; }, 20000);
  return run;
}

// Version files written by Python's property-list writer, XML and binary,
// made in one run of the interpreter (it is slow to start).
QByteArray VersionFile(const QString& version, bool binary) {
  static const QStringList versions = {"1.1", "1.2", "1.2b4", "1.3",
                                       "12",  "2.0", "9.9",   "1.3\\x00b"};
  static const QList<QByteArray> files = [] {
    QProcess python;
    python.start("python3",
                 QStringList{"-c",
                             "import base64, plistlib, sys\n"
                             "for v in sys.argv[1:]:\n"
                             "  v = v.encode('latin-1').decode('unicode_escape')\n"
                             "  for f in (plistlib.FMT_XML, plistlib.FMT_BINARY):\n"
                             "    try:\n"
                             "      d = plistlib.dumps({'Version': v, 'N': 'x'}, fmt=f)\n"
                             "    except ValueError:\n"
                             "      d = b''  # XML cannot hold a NUL\n"
                             "    print(base64.b64encode(d).decode())\n"} +
                     versions);
    python.waitForFinished(30000);
    QList<QByteArray> lines = python.readAllStandardOutput().split('\n');
    for (QByteArray& line : lines) line = QByteArray::fromBase64(line);
    return lines;
  }();
  const qsizetype index = versions.indexOf(version) * 2 + (binary ? 1 : 0);
  return files.value(index);
}

}  // namespace

class UpdateTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<AppEnvironment> env_;
  std::unique_ptr<Preferences> prefs_;
  std::unique_ptr<LocalWebServer> web_;
  RecordingAlerts alerts_;
  QList<QUrl> opened_;

  std::unique_ptr<UpdateChecker> checker(std::optional<QString> running, NetworkHosts hosts = {},
                                         Resolver resolver = {}, int timeoutMs = 2000) {
    if (hosts.maker.isEmpty()) hosts = {web_->host(), web_->host(), web_->host()};
    return std::make_unique<UpdateChecker>(UpdateChecker::Services{
        prefs_.get(), &alerts_, [this](const QUrl& u) { opened_.append(u); }, hosts,
        std::move(resolver), std::move(running), timeoutMs});
  }
  std::optional<QString> check(UpdateChecker& c, bool force, bool enabled) {
    const CheckRun run = Run(c, force, enabled);
    [&] { QVERIFY(run.finished); }();
    return run.result;
  }
  QString lastCheck() { return prefs_->stringForKey(keys::kLastVersionCheck); }
  static const QString& factoryDate() {
    static const QString date = QStringLiteral("2004-08-24 10:45:32 +0600");
    return date;
  }

 private Q_SLOTS:
  void init() {
    env_ = std::make_unique<AppEnvironment>();
    prefs_ = std::make_unique<Preferences>(env_->settingsFile());
    web_ = std::make_unique<LocalWebServer>();
    alerts_ = RecordingAlerts();
    opened_.clear();
  }
  void cleanup() {
    web_.reset();
    prefs_.reset();
    env_.reset();
  }

  void checkCommand_data() {
    QTest::addColumn<QString>("running");  // "-" for a build without a version
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("shown");     // the text returned, or ""
    QTest::addColumn<QString>("alert");     // the new-version alert, or ""
    QTest::addColumn<QString>("download");  // the page opened, or ""
    QTest::addColumn<bool>("dateStored");
    const QString newest = "You have the newest version!";
    const QString noInfo = "No information about a new version is available!";
    const QString release = "/Strellbox/version.txt";
    const QString beta = "/Strellbox/betaversion.txt";
    QTest::newRow("equal, XML") << "1.2" << release << VersionFile("1.2", false) << newest << ""
                                << "" << true;
    QTest::newRow("equal, binary") << "1.2" << release << VersionFile("1.2", true) << newest << ""
                                   << "" << true;
    QTest::newRow("older on the site still offered")
        << "1.2" << release << VersionFile("1.1", true) << ""
        << "A new version of Strellbox is available"
        << "/Strellbox/Download.html" << true;
    QTest::newRow("beta build reads the beta file")
        << "1.2b3" << beta << VersionFile("1.2b4", false) << ""
        << "A new beta version of Strellbox is available"
        << "/Strellbox/BetaDownload.html" << true;
    QTest::newRow("\"12\" is too short") << "1.2" << release << VersionFile("12", false) << ""
                                         << ""
                                         << "" << true;
    QTest::newRow("not a property list") << "1.2" << release << QByteArray("Version = 1.3\n") << ""
                                         << ""
                                         << "" << true;
    QTest::newRow("top level not a dictionary")
        << "1.2" << release
        << QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><string>1.3</string></plist>")
        << ""
        << ""
        << "" << true;
    // The copying string accessor would abort on the NUL; what the
    // library reads stops at it or keeps it, either way 1.3... differs.
    QTest::newRow("NUL inside the version")
        << "1.2" << release << VersionFile("1.3\\x00b", true) << ""
        << "A new version of Strellbox is available"
        << "/Strellbox/Download.html" << true;
    QTest::newRow("build without a version") << "-" << release << VersionFile("1.3", false) << ""
                                             << ""
                                             << "" << true;
    QTest::newRow("empty download") << "1.2" << release << QByteArray() << noInfo << ""
                                    << "" << false;
    QTest::newRow("file missing (404)") << "1.2"
                                        << "/elsewhere" << QByteArray("x") << noInfo << ""
                                        << "" << false;
  }
  void checkCommand() {
    QFETCH(QString, running);
    QFETCH(QString, path);
    QFETCH(QByteArray, file);
    QFETCH(QString, shown);
    QFETCH(QString, alert);
    QFETCH(QString, download);
    QFETCH(bool, dateStored);
    if (QTest::currentDataTag() != QLatin1String("empty download")) QVERIFY(!file.isEmpty());
    web_->files[path] = file;
    alerts_.answer = 0;  // "Go to Downlaod Page"
    const auto version = running == "-" ? std::nullopt : std::optional<QString>(running);
    const std::optional<QString> result = check(*checker(version), true, false);

    QCOMPARE(result.value_or(QString()), shown);
    QVERIFY(web_->requests.contains(running.contains('b') ? "/Strellbox/betaversion.txt"
                                                          : "/Strellbox/version.txt"));
    QCOMPARE(alerts_.shown.size(), alert.isEmpty() ? 0 : 1);
    if (!alert.isEmpty()) {
      QCOMPARE(alerts_.shown[0].message, alert);
      QCOMPARE(alerts_.shown[0].buttons, QStringList({"Go to Downlaod Page", "Cancel"}));
    }
    QCOMPARE(opened_.size(), download.isEmpty() ? 0 : 1);
    if (!download.isEmpty()) QCOMPARE(opened_[0].toString(), "http://" + web_->host() + download);
    QCOMPARE(lastCheck() != factoryDate(), dateStored);
  }

  void cancelOpensNothing() {
    web_->files["/Strellbox/version.txt"] = VersionFile("2.0", false);
    alerts_.answer = 1;
    QVERIFY(!check(*checker(QString("1.2")), true, true));
    QCOMPARE(alerts_.shown.size(), 1);
    QVERIFY(opened_.isEmpty());
  }

  void noNetworkOrNoServer() {
    const QString closed = QStringLiteral("127.0.0.1:%1").arg(ClosedLoopbackPort());
    const QString noInfo = "No information about a new version is available!";
    web_->files["/Strellbox/version.txt"] = VersionFile("2.0", false);
    // Neither reachability host answers: no download is tried.
    auto offline = checker(QString("1.2"), {web_->host(), closed, closed});
    QCOMPARE(check(*offline, true, true).value_or(""), QStringLiteral("No network connection."));
    QVERIFY(!check(*offline, false, true));  // the automatic check says nothing
    QVERIFY(web_->requests.isEmpty());
    // The second host is enough.
    bool online = false;
    QObject context;
    ProbeInternetOnline({closed, closed, web_->host()}, SystemResolver(), 2000, &context,
                        [&](bool answer) { online = answer; });
    QTRY_VERIFY(online);
    // Network up, the maker's server down.
    auto down = checker(QString("1.2"), {closed, web_->host(), web_->host()});
    QCOMPARE(check(*down, true, true).value_or(""), noInfo);
    QVERIFY(alerts_.shown.isEmpty());
    QCOMPARE(lastCheck(), factoryDate());
  }

  void silentNetworkIsWaitedForBoundedly_data() {
    QTest::addColumn<QString>("silent");
    QTest::addColumn<QString>("shown");
    QTest::newRow("resolver never answers") << "resolver"
                                            << "No network connection.";
    QTest::newRow("server never answers") << "server"
                                          << "No information about a new version is available!";
  }
  void silentNetworkIsWaitedForBoundedly() {
    QFETCH(QString, silent);
    QFETCH(QString, shown);
    constexpr int kTimeoutMs = 400;
    SilentServer quiet;
    auto c =
        silent == "resolver"
            ? checker(QString("1.2"),
                      {"www.strellbox.test", "reach.strellbox.test:80", "reach2.strellbox.test"},
                      SilentResolver(), kTimeoutMs)
            : checker(QString("1.2"), {quiet.host(), quiet.host(), quiet.host()}, {}, kTimeoutMs);
    const CheckRun run = Run(*c, true, true);
    QVERIFY(run.finished);
    QCOMPARE(run.result.value_or(""), shown);
    // Waiting on the silent step inside the call, or on the event loop's
    // thread, would take the whole timeout; half of it leaves room for a
    // busy machine's scheduling without letting such a wait pass.
    QVERIFY2(run.returnedAfterMs < kTimeoutMs / 2,
             qPrintable(QString::number(run.returnedAfterMs)));
    // Each step waits its timeout and no longer (a second for a busy machine).
    QVERIFY2(run.answeredAfterMs >= kTimeoutMs && run.answeredAfterMs < 2 * kTimeoutMs + 1000,
             qPrintable(QString::number(run.answeredAfterMs)));
    QVERIFY2(run.longestStallMs < kTimeoutMs / 2, qPrintable(QString::number(run.longestStallMs)));
    QCOMPARE(lastCheck(), factoryDate());
  }

  void startUpAndCheckCommandNeverWait() {
    AppServices services = TestServices(*env_, alerts_, opened_);
    services.hosts = {"www.strellbox.test", "reach.strellbox.test", "reach2.strellbox.test"};
    services.resolver = SilentResolver();
    services.networkTimeoutMs = 300;
    prefs_->setInteger(keys::kCheckForUpdatesInterval, 0);  // the automatic check is due
    QElapsedTimer clock;
    clock.start();
    StrellAppController app(services);
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    app.checkForUpdate();
    QVERIFY(app.checkingForUpdate());
    QVERIFY(!app.strellWindow()->checkForUpdateAction->isEnabled());
    app.checkForUpdate();  // a second request while one runs: ignored
    QTRY_COMPARE(alerts_.shown.size(), 1);
    QCOMPARE(alerts_.shown[0].message, QStringLiteral("No network connection."));
    QVERIFY(app.strellWindow()->checkForUpdateAction->isEnabled());
    QTest::qWait(400);  // the automatic check has ended too, silently
    QCOMPARE(alerts_.shown.size(), 1);
  }

  void automaticCheckKeepsItsInterval_data() {
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("interval");
    QTest::addColumn<int>("minutesAgo");
    QTest::addColumn<bool>("downloads");
    QTest::newRow("daily, 23 h ago") << true << 1 << 23 * 60 << false;
    QTest::newRow("daily, 25 h ago") << true << 1 << 25 * 60 << true;
    QTest::newRow("every start, a minute ago") << true << 0 << 1 << true;
    QTest::newRow("weekly, 6 days ago") << true << 2 << 6 * 24 * 60 << false;
    QTest::newRow("monthly, 31 days ago") << true << 3 << 31 * 24 * 60 << true;
    QTest::newRow("unknown index counts as 0") << true << 9 << 1 << true;
    QTest::newRow("switched off") << false << 0 << 100000 << false;
  }
  void automaticCheckKeepsItsInterval() {
    QFETCH(bool, enabled);
    QFETCH(int, interval);
    QFETCH(int, minutesAgo);
    QFETCH(bool, downloads);
    web_->files["/Strellbox/version.txt"] = VersionFile("1.2", true);
    prefs_->setInteger(keys::kCheckForUpdatesInterval, interval);
    const QString before = DateDescription(QDateTime::currentDateTime().addSecs(-60 * minutesAgo));
    prefs_->setString(keys::kLastVersionCheck, before);
    auto c = checker(QString("1.2"));
    const CheckRun run = Run(*c, false, enabled);
    QVERIFY(run.finished);
    QCOMPARE(web_->requests.contains("/Strellbox/version.txt"), downloads);
    QCOMPARE(lastCheck() != before, downloads);
    QVERIFY(alerts_.shown.isEmpty());
  }

  void startUpRunsTheAutomaticCheck() {
    web_->files["/Strellbox/version.txt"] = VersionFile("9.9", false);
    AppServices services = TestServices(*env_, alerts_, opened_);
    services.hosts = {web_->host(), web_->host(), web_->host()};
    services.runningVersion = QString("1.0");
    StrellAppController app(services);  // factory date lies in 2004: the check goes ahead
    QVERIFY(alerts_.shown.isEmpty());   // it answers from the event loop, after the window shows
    QTRY_COMPARE(alerts_.shown.size(), 1);
    QCOMPARE(alerts_.shown[0].message, QStringLiteral("A new version of Strellbox is available"));
    QVERIFY(QSettings(env_->settingsFile(), QSettings::IniFormat).contains("LastVersionCheck"));
  }

  void dateDescriptionRoundTrip() {
    const QDateTime factory = DateFromDescription(factoryDate());
    QCOMPARE(factory.toUTC(), QDateTime(QDate(2004, 8, 24), QTime(4, 45, 32), Qt::UTC));
    const QDateTime now = QDateTime::currentDateTime();
    const QString text = DateDescription(now);
    QVERIFY2(
        QRegularExpression(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4}$)").match(text).hasMatch(),
        qPrintable(text));
    QCOMPARE(DateFromDescription(text).toSecsSinceEpoch(), now.toSecsSinceEpoch());
    QCOMPARE(DateFromDescription("yesterday").date().year(), 1);
  }
};

QTEST_MAIN(UpdateTest)
#include "update_test.moc"
