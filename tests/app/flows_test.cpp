// The window's flows in a real window under Xvfb: a first scan of the
// samples dropped on factory settings, with no desktop folder yet, filling
// the results list; opening, showing and dragging a result; Esc stopping a
// job; the save-folder chooser driven by its own buttons.
#include <QAbstractItemView>
#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QDropEvent>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMimeData>
#include <QPushButton>
#include <QStandardPaths>
#include <QTableView>
#include <QTest>
#include <atomic>
#include <memory>

#include "app/main_window.h"
#include "app/open_panel.h"
#include "app/preferences_window.h"
#include "app/results_model.h"
#include "app/strell_image_view.h"
#include "app_test_support.h"
#include "engine/platform.h"
#include "engine/strell_controller.h"

using namespace strellbox;
using namespace strellbox::test;
namespace fs = std::filesystem;

namespace {

void Drop(QWidget* view, const QList<QUrl>& urls) {
  QMimeData mime;
  mime.setUrls(urls);
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  static_cast<QObject*>(view)->event(&drop);
}

int RowNamed(const ResultsModel& results, const QString& name) {
  for (int i = 0; i < results.count(); ++i)
    if (results.row(i).fileName == name) return i;
  return -1;
}

// The entry of a file panel's list called `name`, once the panel has read
// its folder.
QModelIndex EntryNamed(QListView* list, const QString& name) {
  QModelIndex found;
  [&] {
    QTRY_VERIFY([&] {
      const QModelIndex root = list->rootIndex();
      for (int i = 0; i < list->model()->rowCount(root); ++i) {
        const QModelIndex entry = list->model()->index(i, 0, root);
        if (entry.data().toString() == name) found = entry;
      }
      return found.isValid();
    }());
  }();
  return found;
}

}  // namespace

class FlowsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<AppEnvironment> env_;
  RecordingAlerts alerts_;
  QList<QUrl> opened_;
  QStringList revealed_;
  QStringList notified_;

  std::unique_ptr<StrellAppController> start() {
    AppServices services = TestServices(*env_, alerts_, opened_);
    services.revealFile = [this](const QString& file) { revealed_.append(file); };
    services.notify = [this](const QString&, const QString& body) { notified_.append(body); };
    services.notifyAfterMs = 0;
    auto app = std::make_unique<StrellAppController>(services);
    MainWindow* w = app->strellWindow();
    w->show();
    w->activateWindow();
    [&] { QVERIFY(QTest::qWaitForWindowActive(w)); }();
    return app;
  }

 private Q_SLOTS:
  void init() {
    env_ = std::make_unique<AppEnvironment>();
    alerts_ = RecordingAlerts();
    opened_.clear();
    revealed_.clear();
    notified_.clear();
  }
  void cleanup() { env_.reset(); }

  void droppedSamplesFillTheResultsList() {
    // The desktop is elsewhere and not made yet: the first scan makes it.
    fs::remove_all(env_->home() / "Desktop");
    WriteFile(env_->root() / "config" / "user-dirs.dirs",
              "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    const QString desktop = env_->homeQ() + "/Schreibtisch";
    QCOMPARE(QString::fromStdString(DesktopFolder()), desktop);
    QCOMPARE(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation), desktop);

    auto app = start();
    MainWindow& w = *app->strellWindow();
    const QString samples = QStringLiteral(STRELLBOX_SAMPLES_DIR);
    Drop(w.strellImageView, {QUrl::fromLocalFile(samples)});
    QTRY_VERIFY_WITH_TIMEOUT(!app->streller().jobActive() && !w.jobRunning(), 30000);

    const QString output = desktop + "/samples Strell";
    ResultsModel& results = *w.results;
    QCOMPARE(results.count(), 13);
    QCOMPARE(w.jobStateField->text(),
             QStringLiteral("13 items saved to ~/Schreibtisch/samples Strell"));
    QCOMPARE(PlainText(w.typeCountsField->text()),
             QStringLiteral("3 jpg · 3 pdf · 3 png · 1 bmp · 1 gif · 1 swf · 1 wav"));
    // The items, and the job's report.
    QCOMPARE(int(std::distance(fs::directory_iterator(output.toStdString()), {})), 14);
    QVERIFY(fs::exists(output.toStdString() + "/report.xml"));
    QTRY_COMPARE(opened_, QList<QUrl>({QUrl::fromLocalFile(output)}));
    QCOMPARE(w.windowTitle(), QStringLiteral("Strellbox"));
    QVERIFY(alerts_.shown.isEmpty());
    QVERIFY(notified_.isEmpty());  // the window was in front

    // Provenance: the JPEG inside the movie's compressed body.
    const int jpeg = RowNamed(results, "compressed-movie-inflated.jpg");
    QVERIFY(jpeg >= 0);
    const QString tip =
        results.data(results.index(jpeg, ResultsModel::kSource), Qt::ToolTipRole).toString();
    QVERIFY2(tip.contains("Found in " + samples + "/compressed-movie.swf"), qPrintable(tip));
    QVERIFY2(tip.contains("zlib data from offset 8"), qPrintable(tip));
    QVERIFY2(tip.contains("Offset 27, pass jpeg"), qPrintable(tip));
    QCOMPARE(results.data(results.index(jpeg, ResultsModel::kSource)).toString(),
             QStringLiteral("compressed-movie.swf › zlib"));
    // Its thumbnail is read from the written file once the row is painted.
    w.resultsView->scrollTo(w.resultsFilter->mapFromSource(results.index(jpeg, 0)));
    QTRY_COMPARE(
        results.data(results.index(jpeg, ResultsModel::kName), Qt::DecorationRole).typeId(),
        QMetaType::QPixmap);

    // Double-click opens it with the desktop's application.
    const QRect cell = w.resultsView->visualRect(
        w.resultsFilter->mapFromSource(results.index(jpeg, ResultsModel::kType)));
    QTest::mouseClick(w.resultsView->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(w.resultsView->viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(opened_.size(), 2);
    QCOMPARE(opened_.last(), QUrl::fromLocalFile(output + "/compressed-movie-inflated.jpg"));
    // "Show in Folder" shows the selected file; dragging it out copies it.
    QVERIFY(w.showInFolderButton->isEnabled());
    QTest::mouseClick(w.showInFolderButton, Qt::LeftButton);
    QCOMPARE(revealed_, QStringList({output + "/compressed-movie-inflated.jpg"}));
    std::unique_ptr<QMimeData> drag(results.mimeData({results.index(jpeg, 0)}));
    QCOMPARE(drag->urls(),
             QList<QUrl>({QUrl::fromLocalFile(output + "/compressed-movie-inflated.jpg")}));
    QCOMPARE(results.supportedDragActions(), Qt::CopyAction);
    // The folder's own button opens it again.
    QTest::mouseClick(w.openFolderButton, Qt::LeftButton);
    QCOMPARE(opened_.last(), QUrl::fromLocalFile(output));
  }

  void escapeStopsAJob() {
    const fs::path folder = env_->root() / "three";
    fs::create_directories(folder);
    for (int i = 0; i < 3; ++i)
      WriteFile(folder / ("f" + std::to_string(i) + ".bin"), std::string(100, char('a' + i)));
    auto app = start();
    StrellController& c = app->streller();
    const QByteArray png = PngBytes(8, 8);
    const Buffer image = Buffer::copyOf(png.constData(), static_cast<uint64_t>(png.size()));
    // An image is written at once, before the pass goes on: the job has
    // made its folder when stopped. (With several workers what is found
    // reaches the store later: one worker.)
    c.setScanWorkers(1);
    c.setPassForTesting("png", [&](ScanContext& ctx, const Buffer&, const std::string& from) {
      ctx.saveStrell(image, 0, image.size(), "png", from, 0, ItemEnd::kLength);
      // Busy until stopped (by Esc, or by quitting when a check fails).
      while (!c.stopStreller()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      return 1;
    });
    MainWindow& w = *app->strellWindow();
    app->threadStrell({QString::fromStdString(folder.string())});
    QTRY_VERIFY(w.jobRunning());
    QCOMPARE(w.jobStateField->text(), QStringLiteral("Scanning…"));
    QTRY_VERIFY(w.windowTitle().startsWith("Strellbox – "));
    // Stopped once the image is written: a stop that comes first drops it
    // (what is found but not written when a job stops is not written).
    QTRY_COMPARE(w.results->count(), 1);
    QTest::keyClick(&w, Qt::Key_Escape);
    QVERIFY(c.stopStreller());
    QTRY_COMPARE(w.jobStateField->text(), QStringLiteral("Stopped"));
    QTRY_VERIFY(!c.jobActive());
    QVERIFY(c.strellOutputDirectoryCreated());
    QCOMPARE(w.results->count(), 1);
    QTest::qWait(100);
    QVERIFY(opened_.isEmpty());  // a stopped job does not open its folder
  }

  void folderChooserChoosesTheFolderItShows() {
    const QString found = env_->homeQ() + "/Found things";
    QVERIFY(QDir().mkpath(found + "/inner"));
    auto app = start();
    PreferencesWindow& p = *app->preferencesWindow();
    app->showPreferences();
    QVERIFY(QTest::qWaitForWindowExposed(&p));

    auto openChooser = [&]() -> OpenPanel* {
      QTest::mouseClick(p.chooseButton, Qt::LeftButton);
      OpenPanel* panel = nullptr;
      [&] { QTRY_VERIFY((panel = p.findChild<OpenPanel*>()) && panel->isVisible()); }();
      return panel;
    };
    OpenPanel* panel = openChooser();
    QVERIFY(panel);
    QCOMPARE(panel->windowTitle(), QStringLiteral("Choose Folder"));
    QCOMPARE(panel->directory().absolutePath(), env_->homeQ());  // starts at home
    auto* list = panel->findChild<QListView*>("listView");
    QPushButton* choose = panel->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open);
    QVERIFY(list && choose);
    QCOMPARE(choose->text(), QStringLiteral("Choose"));

    // Double-click enters the folder; with nothing selected there, the
    // folder shown is chosen.
    const QModelIndex entry = EntryNamed(list, "Found things");
    QVERIFY(entry.isValid());
    const QPoint at = list->visualRect(entry).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
    QTRY_COMPARE(panel->directory().absolutePath(), found);
    list->clearSelection();
    QTRY_VERIFY(choose->isEnabled());
    QCOMPARE(choose->text(), QStringLiteral("Choose"));
    QTest::mouseClick(choose, Qt::LeftButton);
    QTRY_VERIFY(p.findChild<OpenPanel*>() == nullptr);
    QCOMPARE(QString::fromStdString(app->streller().saveFolder()), found);
    QCOMPARE(p.strellFolderField->text(), QStringLiteral("~/Found things"));
    QCOMPARE(p.saveRadioButtons->checkedId(), 2);

    // The next panel starts where this one ended; a folder selected in it
    // is chosen, not entered. Cancel changes nothing.
    panel = openChooser();
    QCOMPARE(panel->directory().absolutePath(), found);
    list = panel->findChild<QListView*>("listView");
    choose = panel->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open);
    const QModelIndex inner = EntryNamed(list, "inner");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(inner).center());
    QTRY_COMPARE(panel->selectedFiles(), QStringList({found + "/inner"}));
    QCOMPARE(choose->text(), QStringLiteral("Choose"));
    QTest::mouseClick(choose, Qt::LeftButton);
    QTRY_VERIFY(p.findChild<OpenPanel*>() == nullptr);
    QCOMPARE(QString::fromStdString(app->streller().saveFolder()), found + "/inner");

    panel = openChooser();
    QTest::mouseClick(panel->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel),
                      Qt::LeftButton);
    QTRY_VERIFY(p.findChild<OpenPanel*>() == nullptr);
    QCOMPARE(QString::fromStdString(app->streller().saveFolder()), found + "/inner");
  }
};

QTEST_MAIN(FlowsTest)
#include "flows_test.moc"
