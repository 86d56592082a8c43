// strellbox: the desktop application. Paths given on the command line (as
// the desktop's "open with" does) are scanned at once; when a window of
// this user is already open, they are handed to it instead.
//
//   strellbox [--screenshot-when-done FILE] [PATH...]
//
// --screenshot-when-done saves a picture of the main window as FILE (PNG)
// once the scans asked for on the command line have ended, then quits; the
// smoke test and the README's picture use it, and the benchmarks read how
// long the scans took from its line on stderr. Such a run keeps to itself.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QIcon>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/app_controller.h"
#include "app/main_window.h"
#include "app/single_instance.h"
#include "app/startup.h"
#include "engine/stderr_filter.h"
#include "engine/strell_controller.h"

namespace {

void SetNames() {
  QCoreApplication::setOrganizationName(QStringLiteral("Strellbox"));
  QCoreApplication::setApplicationName(QStringLiteral("strellbox"));
  QCoreApplication::setApplicationVersion(QStringLiteral(STRELLBOX_VERSION));
}

// --help and --version answer without a display: they are looked for
// before the window system is touched (up to "--", after which every
// argument is a path).
bool AsksForHelpOrVersion(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--") == 0) return false;
    for (const char* option : {"-h", "--help", "-?", "--help-all", "-v", "--version"})
      if (std::strcmp(a, option) == 0) return true;
  }
  return false;
}

// Saves the window once no job runs and the images have settled, then
// quits. The time from the request to the end of the scans goes to stderr.
void ScreenshotWhenDone(strellbox::StrellAppController& app, const QString& file) {
  auto* poll = new QTimer(&app);
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  auto scanned = std::make_shared<bool>(false);
  QObject::connect(poll, &QTimer::timeout, &app, [&app, file, poll, clock, scanned] {
    if (app.streller().jobActive()) return;
    if (!*scanned) {
      *scanned = true;
      std::fprintf(stderr, "strellbox: scans ended after %.3f s\n",
                   static_cast<double>(clock->nsecsElapsed()) / 1e9);
    }
    if (!app.strellWindow()->imagesSettled()) return;
    poll->stop();
    // Let the job's last posted updates and the preview's step reach the window first.
    QTimer::singleShot(700, &app, [&app, file] {
      const bool saved = app.strellWindow()->grab().save(file, "PNG");
      if (!saved) std::fprintf(stderr, "strellbox: could not save %s\n", qPrintable(file));
      QCoreApplication::exit(saved ? 0 : 1);
    });
  });
  // Fine enough to time a short scan.
  poll->start(5);
}

}  // namespace

int main(int argc, char* argv[]) {
  strellbox::DropDecoderNoiseFromStderr();
  SetNames();
  if (AsksForHelpOrVersion(argc, argv)) {
    QCoreApplication core(argc, argv);
    strellbox::Translations translations;
    QCommandLineParser parser;
    strellbox::DescribeCommandLine(parser);
    parser.process(core);  // prints the answer and exits
    return 0;
  }

  QApplication application(argc, argv);
  QGuiApplication::setDesktopFileName(QStringLiteral("strellbox"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/strellbox.png")));

  strellbox::Translations translations;

  QCommandLineParser parser;
  strellbox::DescribeCommandLine(parser);
  parser.process(application);  // a usage error is reported and ends the program
  const QString screenshot = parser.value(QStringLiteral("screenshot-when-done"));
  QStringList paths;
  for (const QString& argument : parser.positionalArguments())
    paths.append(QFileInfo(argument).absoluteFilePath());

  strellbox::SingleInstance instance;
  if (screenshot.isEmpty()) {
    if (strellbox::SingleInstance::handOff(paths)) return 0;
    // Another window may have started meanwhile: it takes the paths then.
    if (!instance.listen() && strellbox::SingleInstance::handOff(paths)) return 0;
  }

  strellbox::StrellAppController app;
  QObject::connect(&application, &QCoreApplication::aboutToQuit, &app,
                   &strellbox::StrellAppController::applicationWillTerminate);
  QObject::connect(&instance, &strellbox::SingleInstance::pathsReceived, &app,
                   &strellbox::StrellAppController::handOver);
  app.strellWindow()->show();

  QTimer::singleShot(0, &app, [&app, paths, screenshot] {
    if (!screenshot.isEmpty()) ScreenshotWhenDone(app, screenshot);
    if (paths.size() == 1)
      app.openFile(paths.first());
    else if (!paths.isEmpty())
      app.openFiles(paths);
  });
  return application.exec();
}
