// Start-up and preferences: registered defaults, controls that write their
// key at once and survive a restart, the save-location choices, the recent
// list saved at quit, the refusal of old systems, the German translation.
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSpinBox>
#include <QTest>
#include <memory>

#include "app/main_window.h"
#include "app/open_panel.h"
#include "app/preferences.h"
#include "app/preferences_window.h"
#include "app/startup.h"
#include "app/strell_image_view.h"
#include "app_test_support.h"
#include "engine/localize.h"
#include "engine/strell_controller.h"

using namespace strellbox;
using namespace strellbox::test;

class PreferencesTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<AppEnvironment> env_;
  RecordingAlerts alerts_;
  QList<QUrl> opened_;

  std::unique_ptr<StrellAppController> start() {
    return std::make_unique<StrellAppController>(TestServices(*env_, alerts_, opened_));
  }
  // What is on disk, read by a fresh store.
  QVariant stored(const QString& key) {
    QSettings file(env_->settingsFile(), QSettings::IniFormat);
    return file.value(key);
  }

 private Q_SLOTS:
  void init() {
    env_ = std::make_unique<AppEnvironment>();
    alerts_ = RecordingAlerts();
    opened_.clear();
  }
  void cleanup() { env_.reset(); }

  void firstStartShowsRegisteredDefaults() {
    auto app = start();
    PreferencesWindow& p = *app->preferencesWindow();
    const QList<std::pair<QCheckBox*, bool>> boxes = {{p.scanButton(PassId::kPDF), true},
                                                      {p.scanButton(PassId::kJPEG), true},
                                                      {p.scanButton(PassId::kGIF), true},
                                                      {p.scanButton(PassId::kPNG), true},
                                                      {p.scanButton(PassId::kSWF), true},
                                                      {p.scanButton(PassId::kBase64), true},
                                                      {p.scanButton(PassId::kBMP), true},
                                                      {p.scanButton(PassId::kWAV), true},
                                                      {p.scanButton(PassId::kFlate), false},
                                                      {p.scanButton(PassId::kASCII), false},
                                                      {p.scanButton(PassId::kHTML), false},
                                                      {p.extendedButton, true},
                                                      {p.updateButton, true},
                                                      {p.dontSaveDuplicatesButton, true},
                                                      {p.openOutputFolderButton, true},
                                                      {p.writeReportButton, true}};
    for (const auto& [box, on] : boxes) QCOMPARE(box->isChecked(), on);
    QCOMPARE(p.saveRadioButtons->checkedId(), 0);
    QCOMPARE(p.strellFolderField->text(), QStringLiteral("~/Desktop"));
    QCOMPARE(p.updateIntervalButton->currentIndex(), 1);
    for (QSpinBox* field : {p.minSizeField, p.maxSizeField, p.minWidthField, p.minHeightField})
      QCOMPARE(field->text(), QStringLiteral("no limit"));

    StrellController& c = app->streller();
    QVERIFY(c.scanFor(PassId::kPDF) && c.scanFor(PassId::kWAV) && !c.scanFor(PassId::kFlate) &&
            !c.scanFor(PassId::kHTML) && c.extendedDetection());
    QVERIFY(c.dontSaveDuplicates());
    QCOMPARE(c.saveRadioChosen(), 0);
    QCOMPARE(c.saveFolder(), std::string("~/Desktop"));
    QVERIFY(c.recentItems().empty());

    // Start-up reads but writes nothing; "recentItems" has no default.
    QVERIFY(!QSettings(env_->settingsFile(), QSettings::IniFormat).contains("scanForPDF"));
    Preferences& prefs = app->preferences();
    QCOMPARE(prefs.integerForKey("checkForUpdatesInterval"), 1);
    QCOMPARE(prefs.value("checkForUpdatesInterval").typeId(), QMetaType::Double);
    QCOMPARE(prefs.stringForKey("LastVersionCheck"), QStringLiteral("2004-08-24 10:45:32 +0600"));
    QVERIFY(!prefs.value("recentItems").isValid());
  }

  void checkboxWritesAtOnceAndSurvivesRestart_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("factory");
    const char* rows[][3] = {{"pdfButton", "scanForPDF", "1"},
                             {"jpegButton", "scanForJPEG", "1"},
                             {"gifButton", "scanForGIF", "1"},
                             {"pngButton", "scanForPNG", "1"},
                             {"flashButton", "scanForFlash", "1"},
                             {"base64Button", "scanForBase64", "1"},
                             {"bmpButton", "scanForBmp", "1"},
                             {"wavButton", "scanForWav", "1"},
                             {"flateButton", "scanForFlate", "0"},
                             {"asciiButton", "scanForASCII", "0"},
                             {"htmlButton", "scanForHTML", "0"},
                             {"extendedButton", "extendedDetection", "1"},
                             {"updateButton", "checkForUpdates", "1"},
                             {"dontSaveDuplicatesButton", "dontSaveDuplicates", "1"},
                             {"openOutputFolderButton", "openOutputFolder", "1"},
                             {"writeReportButton", "writeReport", "1"}};
    for (const auto& row : rows) QTest::newRow(row[0]) << row[0] << row[1] << (row[2][0] == '1');
  }
  void checkboxWritesAtOnceAndSurvivesRestart() {
    QFETCH(QString, button);
    QFETCH(QString, key);
    QFETCH(bool, factory);
    {
      auto app = start();
      auto* box = app->preferencesWindow()->findChild<QCheckBox*>(button);
      QVERIFY(box);
      box->click();
      QCOMPARE(stored(key).toBool(), !factory);  // on disk before any quit
      QCOMPARE(app->preferences().boolForKey(key), !factory);
    }
    auto app = start();
    QCOMPARE(app->preferencesWindow()->findChild<QCheckBox*>(button)->isChecked(), !factory);
    StrellController& c = app->streller();
    const std::map<QString, bool> engine = {{"scanForPDF", c.scanFor(PassId::kPDF)},
                                            {"scanForJPEG", c.scanFor(PassId::kJPEG)},
                                            {"scanForGIF", c.scanFor(PassId::kGIF)},
                                            {"scanForPNG", c.scanFor(PassId::kPNG)},
                                            {"scanForFlash", c.scanFor(PassId::kSWF)},
                                            {"scanForBase64", c.scanFor(PassId::kBase64)},
                                            {"scanForBmp", c.scanFor(PassId::kBMP)},
                                            {"scanForWav", c.scanFor(PassId::kWAV)},
                                            {"scanForFlate", c.scanFor(PassId::kFlate)},
                                            {"scanForASCII", c.scanFor(PassId::kASCII)},
                                            {"scanForHTML", c.scanFor(PassId::kHTML)},
                                            {"extendedDetection", c.extendedDetection()},
                                            {"checkForUpdates", app->checkForUpdates()},
                                            {"dontSaveDuplicates", c.dontSaveDuplicates()},
                                            {"openOutputFolder", app->openOutputFolder()},
                                            {"writeReport", c.preferences().writeReport()}};
    QCOMPARE(engine.at(key), !factory);
  }

  void storedScanFlagsMeanToTheEngine_data() {
    QTest::addColumn<int>("byDefault");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<int>("setting");
    const int off = int(PassDefault::kOff), on = int(PassDefault::kOn),
              extended = int(PassDefault::kWithExtended);
    QTest::newRow("classic, never set") << on << QVariant() << on;
    QTest::newRow("classic, unticked") << on << QVariant(false) << off;
    QTest::newRow("classic off, ticked") << off << QVariant("true") << on;
    QTest::newRow("extended, never set: follows") << extended << QVariant() << extended;
    QTest::newRow("extended, ticked: still follows") << extended << QVariant(true) << extended;
    QTest::newRow("extended, unticked: off") << extended << QVariant(0) << off;
  }
  void storedScanFlagsMeanToTheEngine() {
    QFETCH(int, byDefault);
    QFETCH(QVariant, stored);
    QFETCH(int, setting);
    QCOMPARE(int(ScanSettingFromStored(PassDefault(byDefault), stored)), setting);
  }

  void extendedPassesSitUnderTheirSwitch() {
    // A table in which one pass belongs to extended detection, as new
    // passes do.
    std::array<PassRow, kPassCount> rows = PassTable();
    rows[size_t(PassId::kHTML)].byDefault = PassDefault::kWithExtended;
    PreferencesWindow window(rows);
    QCheckBox* follower = window.scanButton(PassId::kHTML);
    QVERIFY(follower && window.followsExtendedSwitch(PassId::kHTML));
    QVERIFY(!window.followsExtendedSwitch(PassId::kPNG));
    QVERIFY(!follower->isEnabled());
    QVERIFY(window.scanButton(PassId::kPNG)->isEnabled());
    window.showExtendedDetection(true);
    QVERIFY(follower->isEnabled());
    // Every pass has its box, named after its CLI key.
    for (const PassRow& row : rows)
      QCOMPARE(window.scanButton(row.id)->objectName(),
               QString::fromLatin1(row.cliKey.data(), row.cliKey.size()) + "Button");
  }

  void intervalPopUpWritesItsIndex() {
    {
      auto app = start();
      QComboBox* popUp = app->preferencesWindow()->updateIntervalButton;
      QCOMPARE(popUp->count(), 4);
      popUp->setCurrentIndex(3);
      Q_EMIT popUp->activated(3);
      QCOMPARE(stored("checkForUpdatesInterval").toInt(), 3);
    }
    auto app = start();
    QCOMPARE(app->preferencesWindow()->updateIntervalButton->currentIndex(), 3);
  }

  void noiseFiltersWriteAtOnceAndReachTheEngine() {
    {
      auto app = start();
      PreferencesWindow& p = *app->preferencesWindow();
      p.minSizeField->setValue(512);
      p.maxSizeField->setValue(5000000);
      p.minWidthField->setValue(32);
      p.minHeightField->setValue(24);
      QCOMPARE(stored("minItemSize").toInt(), 512);
      QCOMPARE(stored("maxItemSize").toInt(), 5000000);
      QCOMPARE(stored("minPictureWidth").toInt(), 32);
      QCOMPARE(stored("minPictureHeight").toInt(), 24);
    }
    auto app = start();
    const ScanPreferences& engine = app->streller().preferences();
    QCOMPARE(engine.minItemSize(), 512u);
    QCOMPARE(engine.maxItemSize(), 5000000u);
    QCOMPARE(engine.minPictureWidth(), 32u);
    QCOMPARE(engine.minPictureHeight(), 24u);
    QCOMPARE(app->preferencesWindow()->minWidthField->value(), 32);
    // Back to no limit.
    app->preferencesWindow()->minSizeField->setValue(0);
    QCOMPARE(engine.minItemSize(), 0u);
    QCOMPARE(stored("minItemSize").toInt(), 0);
  }

  void storedValuesReadAsIntegers_data() {
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("boolean yes") << QVariant(true) << 1;
    QTest::newRow("number 1.0") << QVariant(1.0) << 1;
    QTest::newRow("number -1.5") << QVariant(-1.5) << -1;
    QTest::newRow("text true") << QVariant("true") << 1;
    QTest::newRow("text false") << QVariant("false") << 0;
    QTest::newRow("text 2.9") << QVariant("2.9") << 2;
    QTest::newRow("junk") << QVariant("junk") << 0;
  }
  void storedValuesReadAsIntegers() {
    QFETCH(QVariant, value);
    QFETCH(int, expected);
    QCOMPARE(IntegerFrom(value), expected);
  }

  void folderCellAloneKeepsTheStoredFolder() {
    auto app = start();
    QButtonGroup* cells = app->preferencesWindow()->saveRadioButtons;
    cells->button(2)->click();
    QCOMPARE(stored("saveRadioChosen").toInt(), 2);
    QVERIFY(!stored("saveFolder").isValid());
    QCOMPARE(app->streller().saveRadioChosen(), 2);
    QCOMPARE(app->streller().saveFolder(), std::string("~/Desktop"));
    cells->button(1)->click();
    QCOMPARE(stored("saveRadioChosen").toInt(), 1);
  }

  void folderPanelChoosesOrChangesNothing() {
    const QString chosen = env_->homeQ() + "/Found things";
    QVERIFY(QDir().mkpath(chosen));
    auto app = start();
    PreferencesWindow& p = *app->preferencesWindow();

    // Cancelled: nothing changes.
    app->chooseSaveLocation();
    auto* panel = p.findChild<OpenPanel*>();
    QVERIFY(panel);
    QCOMPARE(panel->windowTitle(), QStringLiteral("Choose Folder"));
    QCOMPARE(panel->labelText(QFileDialog::Accept), QStringLiteral("Choose"));
    QVERIFY(panel->isModal() || panel->windowModality() == Qt::WindowModal);
    panel->reject();
    QTRY_VERIFY(p.findChild<OpenPanel*>() == nullptr);
    QCOMPARE(p.saveRadioButtons->checkedId(), 0);
    QVERIFY(!stored("saveFolder").isValid());

    // A folder chosen: cell 2, "~" shown, the full path stored.
    app->chooseSaveLocation();
    panel = p.findChild<OpenPanel*>();
    QVERIFY(panel);
    panel->selectFile(chosen);
    panel->accept();
    QTRY_COMPARE(stored("saveFolder").toString(), chosen);
    QCOMPARE(stored("saveRadioChosen").toInt(), 2);
    QCOMPARE(p.saveRadioButtons->checkedId(), 2);
    QCOMPARE(p.strellFolderField->text(), QStringLiteral("~/Found things"));
    QCOMPARE(QString::fromStdString(app->streller().saveFolder()), chosen);
  }

  void recentListSavedAtQuit() {
    {
      auto app = start();  // quits with an empty list
    }
    QVERIFY(QSettings(env_->settingsFile(), QSettings::IniFormat).contains("recentItems"));
    QVERIFY(stored("recentItems").toStringList().isEmpty());
    {
      auto app = start();
      app->streller().setRecentItems({"/b/newest", "/a/older"});
    }
    QCOMPARE(stored("recentItems").toStringList(),
             QStringList({QStringLiteral("/b/newest"), QStringLiteral("/a/older")}));
    auto app = start();
    QCOMPARE(app->streller().recentItems(), std::vector<std::string>({"/b/newest", "/a/older"}));
  }

  void germanRunShowsGermanTexts() {
    Translations german(QLocale(QLocale::German, QLocale::Germany));
    QVERIFY(german.loaded());
    auto app = start();
    // Qt's own texts too: the file panels' buttons.
    app->chooseSaveLocation();
    auto* panel = app->preferencesWindow()->findChild<OpenPanel*>();
    QVERIFY(panel);
    auto* buttons = panel->findChild<QDialogButtonBox*>();
    QVERIFY(buttons);
    QCOMPARE(buttons->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("Abbrechen"));
    QCOMPARE(buttons->button(QDialogButtonBox::Open)->text(), QStringLiteral("Auswählen"));
    panel->reject();
    QCOMPARE(StrellImageView::placeholder(), QStringLiteral("Dateien oder Ordner hierher ziehen"));
    QCOMPARE(app->preferencesWindow()->windowTitle(), QStringLiteral("Einstellungen"));
    QCOMPARE(app->strellWindow()->menuBar()->actions().first()->text(), QStringLiteral("&Datei"));
    QCOMPARE(app->preferencesWindow()->updateIntervalButton->itemText(0),
             QStringLiteral("Bei jedem Start"));
    // The engine's own texts go through the same lookup.
    QCOMPARE(QString::fromStdString(Localized(
                 "Could not make a new folder for the strelled files. Check the preferences")),
             QStringLiteral("Für die gefundenen Dateien konnte kein neuer Ordner angelegt "
                            "werden. Bitte die Einstellungen prüfen"));
  }
};

QTEST_MAIN(PreferencesTest)
#include "preferences_test.moc"
