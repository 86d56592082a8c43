#include "app/startup.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLibraryInfo>

#include "engine/localize.h"

namespace strellbox {

namespace {

// The engine's own user-visible texts, listed here so the translation
// tools keep them; the engine looks them up in this context.
constexpr char kEngineContext[] = "Strellbox";
[[maybe_unused]] constexpr const char* kEngineTexts[] = {
    QT_TRANSLATE_NOOP("Strellbox",
                      "Could not make a new folder for the strelled files. Check the preferences"),
    QT_TRANSLATE_NOOP("Strellbox",
                      "Could not save a found file. Check for disk space, and where the file is "
                      "set to be saved in the preferences"),
    QT_TRANSLATE_NOOP("Strellbox",
                      "Could not save the report of the job in its output folder. Check for disk "
                      "space"),
};

}  // namespace

void DescribeCommandLine(QCommandLineParser& parser) {
  parser.setApplicationDescription(
      QCoreApplication::translate("CommandLine",
                                  "Pulls the media and documents embedded in any "
                                  "file out into files of their own."));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addOption({QStringLiteral("screenshot-when-done"),
                    QCoreApplication::translate("CommandLine",
                                                "Save a picture of the window as <file> (PNG) "
                                                "once the scans asked for have ended, then quit."),
                    QStringLiteral("file")});
  parser.addPositionalArgument(
      QStringLiteral("paths"),
      QCoreApplication::translate("CommandLine", "Files and folders to scan."),
      QStringLiteral("[PATH...]"));
}

Translations::Translations(const QLocale& locale) {
  auto own = std::make_unique<QTranslator>();
  loaded_ =
      own->load(locale, QStringLiteral("strellbox"), QStringLiteral("_"), QStringLiteral(":/i18n"));
  if (loaded_) {
    QCoreApplication::installTranslator(own.get());
    translators_.push_back(std::move(own));
  }
  auto qt = std::make_unique<QTranslator>();
  if (qt->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
               QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(qt.get());
    translators_.push_back(std::move(qt));
  }
  SetTranslator([](std::string_view english) {
    const std::string key(english);
    return QCoreApplication::translate(kEngineContext, key.c_str()).toStdString();
  });
}

Translations::~Translations() {
  SetTranslator(nullptr);
  for (auto& translator : translators_) QCoreApplication::removeTranslator(translator.get());
}

}  // namespace strellbox
