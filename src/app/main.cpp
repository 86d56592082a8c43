// strellbox: the desktop application. Paths given on the command line (as
// the desktop's "open with" does) are scanned at once.
//
//   strellbox [--screenshot-when-done FILE] [PATH...]
//
// --screenshot-when-done saves a picture of the main window as FILE (PNG)
// once the scans asked for on the command line have ended, then quits; the
// smoke test and the README's picture use it.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>
#include <QTimer>
#include <cstdio>

#include "app/alerts.h"
#include "app/app_controller.h"
#include "app/main_window.h"
#include "app/startup.h"
#include "engine/strell_controller.h"

namespace {

// Saves the window once no job runs any more, then quits.
void ScreenshotWhenDone(strellbox::StrellAppController& app, const QString& file) {
  auto* poll = new QTimer(&app);
  QObject::connect(poll, &QTimer::timeout, &app, [&app, file, poll] {
    if (app.streller().jobActive()) return;
    poll->stop();
    // Let the job's last posted updates reach the window first.
    QTimer::singleShot(500, &app, [&app, file] {
      const bool saved = app.strellWindow()->grab().save(file, "PNG");
      if (!saved) std::fprintf(stderr, "strellbox: could not save %s\n", qPrintable(file));
      QCoreApplication::exit(saved ? 0 : 1);
    });
  });
  poll->start(100);
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("Strellbox"));
  QCoreApplication::setApplicationName(QStringLiteral("strellbox"));
  QCoreApplication::setApplicationVersion(QStringLiteral(STRELLBOX_VERSION));

  strellbox::MessageBoxPresenter startAlerts;
  if (strellbox::RefuseUnsupportedSystem(startAlerts) != 0) return 1;

  strellbox::Translations translations;

  QStringList arguments = QCoreApplication::arguments();
  arguments.removeFirst();
  QString screenshot;
  QStringList paths;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == QLatin1String("--screenshot-when-done") && i + 1 < arguments.size())
      screenshot = arguments[++i];
    else
      paths.append(QFileInfo(arguments[i]).absoluteFilePath());
  }

  strellbox::StrellAppController app;
  QObject::connect(&application, &QCoreApplication::aboutToQuit, &app,
                   &strellbox::StrellAppController::applicationWillTerminate);
  app.strellWindow()->show();

  if (!paths.isEmpty()) {
    QTimer::singleShot(0, &app, [&app, paths] {
      if (paths.size() == 1)
        app.openFile(paths.first());
      else
        app.openFiles(paths);
    });
  }
  if (!screenshot.isEmpty()) {
    QTimer::singleShot(0, &app, [&app, screenshot] { ScreenshotWhenDone(app, screenshot); });
  }
  return application.exec();
}
