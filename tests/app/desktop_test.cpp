// The application on the desktop: later launches hand their paths to the
// running window (the real program started a second time), --help and
// --version answer without scanning, and the About box names the version,
// licence and libraries.
#include <QDir>
#include <QProcess>
#include <QSettings>
#include <QTest>
#include <memory>

#include "app/main_window.h"
#include "app/single_instance.h"
#include "app_test_support.h"

using namespace strellbox;
using namespace strellbox::test;
namespace fs = std::filesystem;

class DesktopTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<AppEnvironment> env_;
  RecordingAlerts alerts_;
  QList<QUrl> opened_;

 private Q_SLOTS:
  void init() {
    env_ = std::make_unique<AppEnvironment>();
    alerts_ = RecordingAlerts();
    opened_.clear();
  }
  void cleanup() { env_.reset(); }

  void laterLaunches_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("output");  // what stdout starts with
    QTest::addColumn<bool>("handsOver");
    QTest::addColumn<QStringList>("paths");  // relative to the test's folder
    QTest::newRow("a path") << QStringList({"a folder"}) << "" << true << QStringList({"a folder"});
    QTest::newRow("two paths") << QStringList({"x", "--", "-y"}) << "" << true
                               << QStringList({"x", "-y"});
    QTest::newRow("none: the window comes forward") << QStringList() << "" << true << QStringList();
    QTest::newRow("--help") << QStringList({"--help"}) << "Usage: " << false << QStringList();
    QTest::newRow("--version") << QStringList({"--version", "somewhere"}) << "strellbox 0.1.0\n"
                               << false << QStringList();
  }
  void laterLaunches() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, output);
    QFETCH(bool, handsOver);
    QFETCH(QStringList, paths);
    auto app = std::make_unique<StrellAppController>(TestServices(*env_, alerts_, opened_));
    QList<QStringList> requests;
    app->setRequestInterceptorForTesting([&](const QStringList& p) { requests.append(p); });
    SingleInstance instance;
    QVERIFY(instance.listen());
    bool handed = false;
    connect(&instance, &SingleInstance::pathsReceived, app.get(), [&](const QStringList& p) {
      handed = true;
      app->handOver(p);
    });

    QProcess second;
    second.setWorkingDirectory(QString::fromStdString(env_->root().string()));
    second.start(QStringLiteral(STRELLBOX_APP_BINARY), arguments);
    QVERIFY(second.waitForStarted());
    // The running window serves the hand-off from its event loop.
    QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 20000);
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    const QString printed = QString::fromLocal8Bit(second.readAllStandardOutput());
    QVERIFY2(output.isEmpty() ? printed.isEmpty() : printed.startsWith(output),
             qPrintable(printed));
    QCOMPARE(handed, handsOver);
    QStringList absolute;
    for (const QString& p : paths)
      absolute.append(QString::fromStdString((env_->root() / p.toStdString()).string()));
    QCOMPARE(requests, paths.isEmpty() ? QList<QStringList>() : QList<QStringList>({absolute}));
    if (handsOver) QVERIFY(app->strellWindow()->isVisible());
    // The second launch scanned nothing and kept no settings of its own.
    QVERIFY(!fs::exists(env_->root() / "config" / "Strellbox"));
  }

  void aWindowLeftBehindIsReplaced() {
    const QString path = SingleInstance::serverPath();
    QVERIFY(path.startsWith(QString::fromStdString((env_->root() / "runtime").string())));
    {
      // A socket file nobody answers at, as a crashed window leaves.
      QFile stale(path);
      QVERIFY(stale.open(QIODevice::WriteOnly));
    }
    QVERIFY(!SingleInstance::handOff({"/x"}, path, 500));
    SingleInstance first;
    QVERIFY(first.listen(path));
    SingleInstance second;
    QVERIFY(!second.listen(path));  // the first answers there
  }

  void aboutBoxNamesVersionLicenceAndLibraries() {
    StrellAppController app(TestServices(*env_, alerts_, opened_));
    app.strellWindow()->aboutAction->trigger();
    QCOMPARE(alerts_.shown.size(), 1);
    const Alert& about = alerts_.shown[0];
    QCOMPARE(about.style, Alert::Style::About);
    QCOMPARE(about.message, QStringLiteral("Strellbox " STRELLBOX_VERSION));
    for (const char* part :
         {"Licence: ", "Qt 6.", "zlib 1.", "OpenSSL 3.", "libplist 2.", "{fmt} "})
      QVERIFY2(about.informativeText.contains(QLatin1String(part)),
               qPrintable(about.informativeText));
  }
};

QTEST_MAIN(DesktopTest)
#include "desktop_test.moc"
