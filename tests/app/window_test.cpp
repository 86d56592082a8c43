// The main window: drops of files and text, the private drop file, the
// preview's acceptance bounds and its one cycle, the progress display, the
// counters during and after a job, the failure alert, and quitting while a
// job still runs.
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>
#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTest>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "app/image_worker.h"
#include "app/main_window.h"
#include "app/preferences_window.h"
#include "app/strell_image_view.h"
#include "app_test_support.h"
#include "engine/paths.h"
#include "engine/strell_controller.h"

using namespace strellbox;
using namespace strellbox::test;
namespace fs = std::filesystem;

namespace {

// A PNG whose header announces a width of 0 (built by hand: no encoder
// writes one).
QByteArray ZeroWidthPng() {
  QByteArray png("\x89PNG\r\n\x1a\n", 8);
  const unsigned char ihdr[] = {'I', 'H', 'D', 'R', 0, 0, 0, 0, 0, 0, 0, 16, 8, 2, 0, 0, 0};
  png.append("\0\0\0\x0d", 4);
  png.append(reinterpret_cast<const char*>(ihdr), sizeof ihdr);
  const uLong crc = crc32(0, ihdr, sizeof ihdr);
  for (int shift = 24; shift >= 0; shift -= 8) png.append(static_cast<char>((crc >> shift) & 0xFF));
  return png;
}

QByteArray JpegBytes(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(QColor(30, 90, 160));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "JPEG", 80);
  return bytes;
}

// Hands a drag-enter event to the view's handlers (straight to event():
// the application's dispatch expects a real drag in progress); answers its
// acceptance and the drop action chosen.
std::pair<bool, Qt::DropAction> DragEnter(QWidget* view, QMimeData* mime, Qt::DropActions allowed) {
  QDragEnterEvent enter(QPoint(10, 10), allowed, mime, Qt::LeftButton, Qt::NoModifier);
  enter.setAccepted(false);
  static_cast<QObject*>(view)->event(&enter);
  return {enter.isAccepted(), enter.dropAction()};
}

void Drop(QWidget* view, QMimeData* mime) {
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
  static_cast<QObject*>(view)->event(&drop);
}

// Holds a pass until the test opens it; opens it in any case when the
// test ends, so that a failed check cannot leave the worker waiting.
struct Gate {
  std::atomic<bool> open{false};
  ~Gate() { open = true; }
  void wait() const {
    while (!open.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<AppEnvironment> env_;
  RecordingAlerts alerts_;
  QList<QUrl> opened_;

  std::unique_ptr<StrellAppController> start() {
    return std::make_unique<StrellAppController>(TestServices(*env_, alerts_, opened_));
  }
  fs::path makeFolder(const std::string& name, int files) {
    const fs::path folder = env_->root() / name;
    fs::create_directories(folder);
    for (int i = 0; i < files; ++i)
      WriteFile(folder / ("file" + std::to_string(i) + ".bin"),
                std::string(100, static_cast<char>('a' + i)));
    return folder;
  }

 private Q_SLOTS:
  void init() {
    env_ = std::make_unique<AppEnvironment>();
    alerts_ = RecordingAlerts();
    opened_.clear();
  }
  void cleanup() { env_.reset(); }

  void dragFeedback_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("allowed");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("files, copy allowed") << "files" << int(Qt::CopyAction | Qt::MoveAction) << true;
    QTest::newRow("files, move only") << "files" << int(Qt::MoveAction) << false;
    QTest::newRow("text, move only") << "text" << int(Qt::MoveAction) << true;
    QTest::newRow("text, copy allowed") << "text" << int(Qt::CopyAction) << true;
    QTest::newRow("image data only") << "image" << int(Qt::CopyAction) << false;
  }
  void dragFeedback() {
    QFETCH(QString, kind);
    QFETCH(int, allowed);
    QFETCH(bool, accepted);
    StrellImageView view;
    QMimeData mime;
    if (kind == "files") mime.setUrls({QUrl::fromLocalFile("/some/file")});
    if (kind == "text") mime.setText("words");
    if (kind == "image") mime.setData("image/png", PngBytes(4, 4));
    const auto [isAccepted, action] = DragEnter(&view, &mime, Qt::DropActions(allowed));
    QCOMPARE(isAccepted, accepted);
    // Qt cannot answer an action the source does not offer; copy is
    // answered wherever it is offered.
    if (accepted && (allowed & Qt::CopyAction)) QCOMPARE(action, Qt::CopyAction);
  }

  void dropOfFilesPassesTheListOnExactly() {
    auto app = start();
    QList<QStringList> requests;
    app->setRequestInterceptorForTesting([&](const QStringList& p) { requests.append(p); });
    QMimeData mime;
    const QStringList files = {"/a/one.jpg", "/b/two folder", "/does/not/exist"};
    QList<QUrl> urls;
    for (const QString& f : files) urls.append(QUrl::fromLocalFile(f));
    mime.setUrls(urls);
    mime.setText("ignored while there are files");
    Drop(app->strellWindow()->strellImageView, &mime);
    QCOMPARE(requests, QList<QStringList>({files}));
  }

  void dropOfTextWritesAPrivateFileAndScansIt() {
    auto app = start();
    QList<QStringList> requests;
    app->setRequestInterceptorForTesting([&](const QStringList& p) { requests.append(p); });
    const fs::path runtime = env_->root() / "runtime";
    const fs::path dropFile = runtime / "StrellerDrop.txt";
    // A link placed at the name must be replaced, never written through.
    const fs::path victim = env_->root() / "victim.txt";
    WriteFile(victim, "keep me");
    fs::create_symlink(victim, dropFile);

    QMimeData first;
    first.setText("first drop");
    Drop(app->strellWindow()->strellImageView, &first);
    QMimeData second;
    second.setText("second");
    Drop(app->strellWindow()->strellImageView, &second);

    const QStringList expected = {QString::fromStdString(dropFile.string())};
    QCOMPARE(requests, QList<QStringList>({expected, expected}));
    QCOMPARE(ReadFile(victim), std::string("keep me"));
    QVERIFY(!fs::is_symlink(dropFile));
    QCOMPARE(ReadFile(dropFile), std::string("second"));
    QCOMPARE(fs::status(dropFile).permissions() & fs::perms::all,
             fs::perms::owner_read | fs::perms::owner_write);
  }

  void dropFolderIsPrivateToTheUser_data() {
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("expected");
    QTest::newRow("runtime folder closed to others") << "runtime-0700"
                                                     << "runtime";
    QTest::newRow("runtime folder open to others") << "runtime-0755"
                                                   << "tmp/strellbox-UID";
    QTest::newRow("no runtime folder") << "no-runtime"
                                       << "tmp/strellbox-UID";
    QTest::newRow("usual name open to others") << "squatted"
                                               << "tmp/strellbox-UID-";
  }
  void dropFolderIsPrivateToTheUser() {
    QFETCH(QString, setup);
    QFETCH(QString, expected);
    const fs::path runtime = env_->root() / "runtime";
    const std::string uid = std::to_string(::geteuid());
    if (setup == "runtime-0755") ::chmod(runtime.c_str(), 0755);
    if (setup != "runtime-0700") ::unsetenv("XDG_RUNTIME_DIR");
    if (setup == "squatted") {
      const fs::path usual = env_->root() / "tmp" / ("strellbox-" + uid);
      fs::create_directory(usual);
      ::chmod(usual.c_str(), 0777);
    }
    const std::optional<QString> path = WriteDroppedText("text");
    QVERIFY(path);
    const fs::path folder = fs::path(path->toStdString()).parent_path();
    QString want = QString::fromStdString((env_->root() / "").string()) + expected;
    want.replace("UID", QString::fromStdString(uid));
    QVERIFY2(QString::fromStdString(folder.string()).startsWith(want), qPrintable(*path));
    struct stat st {};
    QCOMPARE(::lstat(folder.c_str(), &st), 0);
    QVERIFY(S_ISDIR(st.st_mode) && (st.st_mode & 077) == 0);
    QCOMPARE(ReadFile(path->toStdString()), std::string("text"));
  }

  void previewAcceptsOnlySizesStrictlyBelow3000_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QSize>("decoded");
    QTest::newRow("2999 x 2999, shrunk") << PngBytes(2999, 2999) << true << QSize(270, 270);
    QTest::newRow("2999 x 1") << PngBytes(2999, 1) << true << QSize(360, 1);
    QTest::newRow("2800 x 2000 JPEG, decoded small")
        << JpegBytes(2800, 2000) << true << QSize(360, 257);
    QTest::newRow("small, not enlarged") << PngBytes(48, 32) << true << QSize(48, 32);
    QTest::newRow("3000 wide") << PngBytes(3000, 10) << false << QSize();
    QTest::newRow("3000 high") << PngBytes(10, 3000) << false << QSize();
    QTest::newRow("0 wide") << ZeroWidthPng() << false << QSize();
    QTest::newRow("not an image") << QByteArray(64, 'z') << false << QSize();
  }
  void previewAcceptsOnlySizesStrictlyBelow3000() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, accepted);
    QFETCH(QSize, decoded);
    // The bounds apply to the full size; the decode is at the preview's.
    const std::optional<QImage> image = DecodePreviewImage(bytes, QSize(360, 270));
    QCOMPARE(image.has_value(), accepted);
    if (accepted) QCOMPARE(image->size(), decoded);
  }

  void previewRunsOneCycleAndHalvesTheBacklog() {
    MainWindow window;
    QImage png(8, 8, QImage::Format_RGB32);
    png.fill(Qt::red);
    QCOMPARE(window.pendingPreviewDelay(), -1);
    for (int i = 0; i < 10; ++i) window.queuePreviewImage(png);
    QCOMPARE(window.pendingPreviewDelay(), MainWindow::kFirstStepDelay);
    window.showLatestImage();  // shows one; of 9 left the oldest 4 go
    QVERIFY(!window.strellImageView->image().isNull());
    QCOMPARE(window.imagesToBlinkCount(), 5);
    QCOMPARE(window.pendingPreviewDelay(), MainWindow::kBusyStepDelay);
    window.showLatestImage();  // 4 left -> 2
    QCOMPARE(window.imagesToBlinkCount(), 2);
    window.showLatestImage();  // 1 left, kept
    QCOMPARE(window.imagesToBlinkCount(), 1);
    window.showLatestImage();
    QCOMPARE(window.imagesToBlinkCount(), 0);
    QCOMPARE(window.pendingPreviewDelay(), MainWindow::kIdleStepDelay);
    // An image accepted while the cycle waits joins it; no second cycle.
    window.queuePreviewImage(png);
    QCOMPARE(window.pendingPreviewDelay(), MainWindow::kIdleStepDelay);
  }

  void handOffWaitsUntilTheGuiThreadHasTakenTheImage() {
    auto app = start();
    StrellController& c = app->streller();
    const QByteArray png = PngBytes(8, 8);
    const Buffer image = Buffer::copyOf(png.constData(), static_cast<uint64_t>(png.size()));
    std::atomic<int> handed{0};
    std::thread worker([&] {
      for (int i = 0; i < 3; ++i) {
        c.blinkImage(image);
        ++handed;
      }
    });
    // The GUI thread takes nothing while it sleeps: the worker waits with
    // its first image.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    QCOMPARE(handed.load(), 0);
    QTRY_COMPARE(handed.load(), 3);
    worker.join();
    QTRY_VERIFY(!app->strellWindow()->strellImageView->image().isNull());
  }

  void progressBarShowsTheFraction_data() {
    QTest::addColumn<double>("bytes");
    QTest::addColumn<double>("total");
    QTest::addColumn<int>("value");
    QTest::newRow("a quarter") << 50.0 << 200.0 << MainWindow::kBarMaximum / 4;
    QTest::newRow("total 0 is empty") << 10.0 << 0.0 << 0;
    QTest::newRow("nothing of nothing") << 0.0 << 0.0 << 0;
    QTest::newRow("past the total is full") << 300.0 << 200.0 << MainWindow::kBarMaximum;
  }
  void progressBarShowsTheFraction() {
    QFETCH(double, bytes);
    QFETCH(double, total);
    QFETCH(int, value);
    MainWindow window;
    window.progressTo(bytes, total, 7);
    QCOMPARE(window.progress->value(), value);
    QCOMPARE(window.foundImageCountField->text(), QStringLiteral("7"));
    window.setIndeterminate(true);
    QCOMPARE(window.progress->maximum(), 0);
    window.setIndeterminate(false);
    QCOMPARE(window.progress->maximum(), MainWindow::kBarMaximum);
  }

  void countersDuringAndAfterAJob() {
    const fs::path folder = makeFolder("scan me", 3);
    const fs::path output = env_->root() / "output";
    fs::create_directories(output);
    auto app = start();
    StrellController& c = app->streller();
    c.setSaveRadioChosen(2);
    c.setSaveFolder(output.string());
    Gate gate;
    // The first file of the list holds the job up (with several workers
    // the others may be scanned meanwhile, but none is counted before it).
    c.setPassForTesting("png", [&](ScanContext& ctx, const Buffer& data, const std::string& from) {
      ctx.saveStrell(data, 0, data.size(), "txt", from, 0, ItemEnd::kLength);
      if (from.find("/file0.bin") != std::string::npos) gate.wait();
      return 1;
    });
    MainWindow& w = *app->strellWindow();
    app->threadStrell({QString::fromStdString(folder.string())});

    // Mid-job, the 0.3 s refresh shows the entry and what is left.
    QTRY_VERIFY(w.strellingField->text().startsWith("file"));
    QVERIFY(w.strellingField->text().endsWith(".bin (0 kB)"));
    QTRY_COMPARE(w.toStrellCountField->text(), QStringLiteral("3"));
    QVERIFY(!w.progress->isHidden() && !w.strellingStaticField->isHidden());
    QVERIFY(w.stopStrellerButton->isEnabled());
    gate.open = true;

    QTRY_VERIFY(!c.jobActive());
    QTRY_COMPARE(w.foundImageCountField->text(), QStringLiteral("3"));
    QTRY_COMPARE(w.toStrellCountField->text(), QStringLiteral("0"));
    QTRY_VERIFY(w.progress->isHidden());
    QCOMPARE(w.progress->value(), w.progress->maximum());
    QCOMPARE(w.strellingField->text(), QString());
    QVERIFY(w.strellingField->isHidden() && w.strellingStaticField->isHidden());
    QVERIFY(!w.stopStrellerButton->isEnabled());
    QTRY_COMPARE(opened_.size(), 1);
    QCOMPARE(opened_[0].toLocalFile(), QString::fromStdString(c.strellOutputDirectory()));
    QVERIFY(alerts_.shown.isEmpty());
  }

  void jobEndsWithItsStateAndOpensItsFolder_data() {
    QTest::addColumn<int>("items");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<bool>("openPreference");
    QTest::addColumn<QString>("state");
    QTest::addColumn<bool>("opens");
    QTest::newRow("three saved") << 3 << false << true << "3 items saved to ~/out/in Strell"
                                 << true;
    QTest::newRow("one saved") << 1 << false << true << "1 item saved to ~/out/in Strell" << true;
    QTest::newRow("nothing found") << 0 << false << true << "Nothing found" << false;
    QTest::newRow("stopped") << 2 << true << true << "Stopped" << false;
    QTest::newRow("preference off")
        << 3 << false << false << "3 items saved to ~/out/in Strell" << false;
  }
  void jobEndsWithItsStateAndOpensItsFolder() {
    QFETCH(int, items);
    QFETCH(bool, stop);
    QFETCH(bool, openPreference);
    QFETCH(QString, state);
    QFETCH(bool, opens);
    const fs::path folder = makeFolder("in", 1);
    fs::create_directories(env_->home() / "out");
    QStringList notified;
    AppServices services = TestServices(*env_, alerts_, opened_);
    services.notify = [&](const QString&, const QString& body) { notified.append(body); };
    services.notifyAfterMs = 0;  // every job counts as long; the window is not active
    auto app = std::make_unique<StrellAppController>(services);
    if (!openPreference) app->preferencesWindow()->openOutputFolderButton->click();
    StrellController& c = app->streller();
    c.setSaveRadioChosen(2);
    c.setSaveFolder((env_->home() / "out").string());
    // Images are written as they are found, so a stop after them leaves
    // a folder that was made. (With several workers what is found reaches
    // the store later, and a stop before that drops it: one worker.)
    c.setScanWorkers(1);
    c.setPassForTesting("png", [&](ScanContext& ctx, const Buffer&, const std::string& from) {
      for (int i = 0; i < items; ++i) {
        const QByteArray png = PngBytes(4 + i, 4);
        const Buffer image = Buffer::copyOf(png.constData(), static_cast<uint64_t>(png.size()));
        ctx.saveStrell(image, 0, image.size(), "png", from, i, ItemEnd::kLength);
      }
      if (stop) c.stopStrelling();
      return items;
    });
    app->threadStrell({QString::fromStdString(folder.string())});
    MainWindow& w = *app->strellWindow();
    QTRY_VERIFY(!c.jobActive());
    QTRY_COMPARE(w.jobStateField->text(), state);
    QCOMPARE(w.results->count(), items);
    QCOMPARE(w.windowTitle(), QStringLiteral("Strellbox"));
    QCOMPARE(notified, QStringList({state}));
    QTest::qWait(50);
    QCOMPARE(opened_.size(), opens ? 1 : 0);
    if (items > 0) {
      QCOMPARE(PlainText(w.typeCountsField->text()), QStringLiteral("%1 png").arg(items));
      QVERIFY(w.openFolderButton->isEnabled());
    }
  }

  // An evidence file opened in the window is scanned as the media it holds:
  // the JPEG that ewfacquire compressed into it comes out whole.
  void evidenceFileIsScannedAsItsMedia() {
    const fs::path folder = env_->root() / "evidence";
    fs::create_directories(folder);
    const std::string dir = folder.string();
    QCOMPARE(std::system(("cd '" + dir +
                          "' && convert -seed 3 -size 120x90 plasma:fractal p.jpg && "
                          "head -c 3000000 /dev/urandom > disk.raw && "
                          "dd if=p.jpg of=disk.raw bs=512 seek=1001 conv=notrunc 2>/dev/null && "
                          "ewfacquire -u -q -c deflate:fast -t disk disk.raw >/dev/null 2>&1 && "
                          "rm disk.raw")
                             .c_str()),
             0);
    fs::create_directories(env_->home() / "out");
    auto app = std::make_unique<StrellAppController>(TestServices(*env_, alerts_, opened_));
    StrellController& c = app->streller();
    c.setSaveRadioChosen(2);
    c.setSaveFolder((env_->home() / "out").string());
    app->threadStrell({QString::fromStdString((folder / "disk.E01").string())});
    MainWindow& w = *app->strellWindow();
    QTRY_VERIFY(!c.jobActive());
    QCOMPARE(PlainText(w.typeCountsField->text()), QStringLiteral("1 jpg"));
    const std::vector<std::string> jpegs = ReadFilesOfType(env_->home() / "out", ".jpg");
    QCOMPARE(jpegs.size(), size_t{1});
    QVERIFY(jpegs[0] == ReadFile(folder / "p.jpg"));
  }

  void failedJobShowsItsMessage() {
    const fs::path folder = makeFolder("input", 1);
    const fs::path notAFolder = env_->root() / "plain file";
    WriteFile(notAFolder, "x");
    auto app = start();
    StrellController& c = app->streller();
    c.setSaveRadioChosen(2);
    c.setSaveFolder(notAFolder.string());
    c.setPassForTesting("png", [&](ScanContext& ctx, const Buffer& data, const std::string& from) {
      ctx.saveStrell(data, 0, data.size(), "txt", from, 0, ItemEnd::kLength);
      return 1;
    });
    app->threadStrell({QString::fromStdString(folder.string())});
    QTRY_COMPARE(alerts_.shown.size(), 1);
    QCOMPARE(alerts_.shown[0].message,
             QStringLiteral(
                 "Could not make a new folder for the strelled files. Check the preferences"));
    QCOMPARE(alerts_.shown[0].buttons, QStringList({"OK"}));
  }

  void quittingDuringAJobStopsAndWaits() {
    const fs::path first = makeFolder("first", 2);
    const fs::path queued = makeFolder("queued", 1);
    auto app = start();
    StrellController& c = app->streller();
    // The pass below hands images to the store itself, which only the job's
    // own thread may do: one worker.
    c.setScanWorkers(1);
    const QByteArray png = PngBytes(16, 16);
    const Buffer image = Buffer::copyOf(png.constData(), static_cast<uint64_t>(png.size()));
    std::mutex seenMutex;
    std::vector<std::string> seen;
    std::atomic<bool> passEnded{false};
    std::atomic<int> blinks{0};
    // A pass that keeps handing images to the preview until told to stop:
    // the worker spends its time waiting for the GUI thread.
    c.setPassForTesting("png", [&](ScanContext&, const Buffer&, const std::string& from) {
      {
        std::lock_guard<std::mutex> lock(seenMutex);
        seen.push_back(from);
      }
      while (!c.stopStreller()) {
        c.blinkImage(image);
        ++blinks;
      }
      passEnded = true;
      return 0;
    });
    app->threadStrell({QString::fromStdString(first.string())});
    app->threadStrell({QString::fromStdString(queued.string())});  // waits in the queue
    QTRY_VERIFY(blinks.load() > 3);

    app.reset();  // quit
    QVERIFY(passEnded.load());
    std::lock_guard<std::mutex> lock(seenMutex);
    QCOMPARE(seen.size(), size_t{1});
    QVERIFY(seen[0].find("/first/") != std::string::npos);
    QVERIFY(alerts_.shown.isEmpty());
  }

  // A picture of the window mid-scan, previewing a found image, for the
  // README (build/screenshots/window-mid-scan.png).
  void screenshotMidScan() {
    const fs::path folder = env_->root() / "Holiday mail";
    fs::create_directories(folder);
    for (int i = 1; i <= 6; ++i)
      WriteFile(folder / ("message-" + std::to_string(i) + ".eml"),
                std::string(20000 * i, static_cast<char>('a' + i)));
    const fs::path output = env_->root() / "output";
    fs::create_directories(output);
    auto app = start();
    StrellController& c = app->streller();
    c.setSaveRadioChosen(2);
    c.setSaveFolder(output.string());
    // One worker, so the entry held at the gate is the fourth of the list
    // and its item is on screen while it waits.
    c.setScanWorkers(1);
    // A different picture for each entry, so none is a duplicate.
    auto picture = [](int shade) {
      QImage image(320, 200, QImage::Format_RGB32);
      for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
          image.setPixel(x, y, qRgb(40 + x / 2, 60 + y / 2 + shade, 220 - x / 3));
      QByteArray png;
      QBuffer buffer(&png);
      buffer.open(QIODevice::WriteOnly);
      image.save(&buffer, "PNG");
      return Buffer::copyOf(png.constData(), static_cast<uint64_t>(png.size()));
    };
    Gate gate;
    std::atomic<int> entries{0};
    c.setPassForTesting("png", [&](ScanContext& ctx, const Buffer&, const std::string& from) {
      const int n = ++entries;
      const Buffer image = picture(n * 9);
      ctx.saveStrell(image, 0, image.size(), "png", from, 0, ItemEnd::kLength);
      if (n == 4) gate.wait();
      return 1;
    });
    MainWindow& w = *app->strellWindow();
    w.resize(420, 400);
    w.show();
    app->threadStrell({QString::fromStdString(folder.string())});
    QTRY_COMPARE(w.foundImageCountField->text(), QStringLiteral("4"));
    QTRY_COMPARE(w.toStrellCountField->text(), QStringLiteral("3"));
    QTRY_VERIFY(w.strellingField->text().endsWith(" kB)"));
    QTRY_VERIFY(!w.strellImageView->image().isNull());
    QTRY_VERIFY(w.progress->value() > 0);
    QVERIFY(QDir().mkpath(STRELLBOX_SCREENSHOT_DIR));
    const QString file = QStringLiteral(STRELLBOX_SCREENSHOT_DIR "/window-mid-scan.png");
    QVERIFY(w.grab().save(file, "PNG"));
    gate.open = true;
    QTRY_VERIFY(!c.jobActive());
    QCOMPARE(QImage(file).size(), w.size());
  }

  void resultsListFiltersSortsAndCopies() {
    MainWindow w;
    // The controller whose store left out two items, for the counts line.
    StrellController c;
    c.setStrellOutputDirectory((env_->root() / "unused").string());
    c.setMinItemSize(5);
    for (const char* small : {"ab", "cd"})
      c.saveStrell(Buffer::fromString(small), 0, 2, "bin", "s", 0);
    w.setStreller(&c);
    auto row = [](QString name, QString type, qint64 size, QString container) {
      ResultRow r;
      r.path = "/out/" + name;
      r.fileName = name;
      r.type = type;
      r.size = size;
      r.source = container;
      r.container = container;
      return r;
    };
    w.jobStarted();
    w.addResults({row("b.png", "png", 100, "/in/mail.mbox"),
                  row("a.jpg", "jpg", 9, "/in/page.html"), row("c.png", "png", 10, "/in/page.html"),
                  row("d.jpg", "jpg", 1000, "/in/x.bin")});
    w.jobFinished(false);
    QCOMPARE(PlainText(w.typeCountsField->text()),
             QStringLiteral("2 jpg · 2 png · 2 filtered out"));
    auto shown = [&] {
      QStringList names;
      for (int i = 0; i < w.resultsFilter->rowCount(); ++i)
        names.append(w.results->row(w.resultsFilter->resultRow(i)).fileName);
      return names;
    };
    QCOMPARE(shown(), QStringList({"b.png", "a.jpg", "c.png", "d.jpg"}));  // as found

    // Clicking a type in the counts line, or choosing it, shows only its rows.
    Q_EMIT w.typeCountsField->linkActivated(QStringLiteral("type:png"));
    QCOMPARE(w.typeFilterButton->currentText(), QStringLiteral("png"));
    QCOMPARE(shown(), QStringList({"b.png", "c.png"}));
    w.typeFilterButton->setCurrentIndex(0);
    QCOMPARE(w.typeFilterButton->currentText(), QStringLiteral("All types"));
    // A text keeps the rows whose name or source holds it.
    w.filterField->setText(QStringLiteral("PAGE"));
    QCOMPARE(shown(), QStringList({"a.jpg", "c.png"}));
    w.filterField->setText(QStringLiteral("d.j"));
    QCOMPARE(shown(), QStringList({"d.jpg"}));
    w.filterField->clear();

    // Every column sorts, the size as a number.
    const std::pair<int, QStringList> orders[] = {
        {ResultsModel::kName, {"a.jpg", "b.png", "c.png", "d.jpg"}},
        {ResultsModel::kType, {"a.jpg", "d.jpg", "b.png", "c.png"}},
        {ResultsModel::kSize, {"a.jpg", "c.png", "b.png", "d.jpg"}},
        {ResultsModel::kSource, {"b.png", "a.jpg", "c.png", "d.jpg"}},
    };
    for (const auto& [column, order] : orders) {
      w.resultsView->sortByColumn(column, Qt::AscendingOrder);
      QCOMPARE(shown(), order);
    }
    w.resultsView->sortByColumn(ResultsModel::kSize, Qt::DescendingOrder);
    QCOMPARE(shown(), QStringList({"d.jpg", "b.png", "c.png", "a.jpg"}));

    // The selected rows are copied as the files and their paths; the
    // actions act on the rows of the results, whatever the order shown.
    w.resultsView->selectRow(1);  // b.png, then c.png, in the list by size
    w.resultsView->selectionModel()->select(
        w.resultsFilter->index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QCOMPARE(w.selectedResults(), QList<int>({0, 2}));
    w.copyAction->trigger();
    const QMimeData* copied = QGuiApplication::clipboard()->mimeData();
    QVERIFY(copied);
    QCOMPARE(copied->urls(),
             QList<QUrl>({QUrl::fromLocalFile("/out/b.png"), QUrl::fromLocalFile("/out/c.png")}));
    QCOMPARE(copied->text(), QStringLiteral("/out/b.png\n/out/c.png"));

    // A new job lists every type again; a type that looks like a
    // placeholder is shown and chosen as it is.
    Q_EMIT w.typeCountsField->linkActivated(QStringLiteral("type:jpg"));
    w.jobStarted();
    QCOMPARE(w.typeFilterButton->count(), 1);
    QVERIFY(!w.resultsFilter->type());
    w.addResults({row("e.x%2y", "x%2y", 5, "/in/odd.bin")});
    QCOMPARE(PlainText(w.typeCountsField->text()), QStringLiteral("1 x%2y · 2 filtered out"));
    const QString link = QRegularExpression(QStringLiteral("href=\"([^\"]*)\""))
                             .match(w.typeCountsField->text())
                             .captured(1);
    Q_EMIT w.typeCountsField->linkActivated(link);
    QCOMPARE(w.resultsFilter->type(), std::optional<QString>(QStringLiteral("x%2y")));
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
