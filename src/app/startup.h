// Start-up: the command line and the translations.
#pragma once

#include <QLocale>
#include <QTranslator>
#include <memory>
#include <vector>

class QCommandLineParser;
class QCoreApplication;

namespace strellbox {

// The options and arguments of strellbox: --help, --version,
// --screenshot-when-done FILE, and the paths to scan.
void DescribeCommandLine(QCommandLineParser& parser);

// Installs the program's translation for the locale (and Qt's own, when
// present), and puts Qt's lookup behind the engine's texts. Uninstalls
// them when destroyed.
class Translations {
 public:
  explicit Translations(const QLocale& locale = QLocale());
  ~Translations();
  Translations(const Translations&) = delete;
  Translations& operator=(const Translations&) = delete;

  // True when a translation of the program's own texts was found.
  bool loaded() const { return loaded_; }

 private:
  std::vector<std::unique_ptr<QTranslator>> translators_;
  bool loaded_ = false;
};

}  // namespace strellbox
