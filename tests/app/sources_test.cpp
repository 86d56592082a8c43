// Sources of scan requests: the recent list and its menu, the browser
// caches menu, the temporary folder, the open panel, files handed over by
// the desktop, the web page and Stop.
#include <QAction>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QSettings>
#include <QTest>
#include <memory>

#include "app/main_window.h"
#include "app/open_panel.h"
#include "app_test_support.h"
#include "engine/strell_controller.h"

using namespace strellbox;
using namespace strellbox::test;
namespace fs = std::filesystem;

class SourcesTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<AppEnvironment> env_;
  RecordingAlerts alerts_;
  QList<QUrl> opened_;
  QList<QStringList> requests_;

  std::unique_ptr<StrellAppController> start(bool intercept = true) {
    auto app = std::make_unique<StrellAppController>(TestServices(*env_, alerts_, opened_));
    if (intercept)
      app->setRequestInterceptorForTesting([this](const QStringList& p) { requests_.append(p); });
    return app;
  }
  QString folder(const std::string& relative) {
    const fs::path path = env_->root() / relative;
    fs::create_directories(path);
    return QString::fromStdString(path.string());
  }
  // The items' titles, without the separator and "Clear Menu" that end
  // the recent menu.
  static QStringList titles(QMenu* menu) {
    QStringList list;
    for (QAction* action : menu->actions())
      if (!action->isSeparator() && action->objectName() != "clearRecentAction")
        list.append(action->text());
    return list;
  }

 private Q_SLOTS:
  void init() {
    env_ = std::make_unique<AppEnvironment>();
    alerts_ = RecordingAlerts();
    opened_.clear();
    requests_.clear();
  }
  void cleanup() { env_.reset(); }

  void recentListKeepsTheNewestSevenThatExist() {
    auto app = start(false);  // the engine's own request handling keeps the list
    MainWindow& w = *app->strellWindow();
    QVERIFY(!w.recentItem->menuAction()->isEnabled());
    QStringList made;
    for (int i = 1; i <= 8; ++i) {
      made.append(folder("recent/item" + std::to_string(i)));
      app->threadStrell({made.last()});
    }
    app->threadStrell({made[0], made[1]});  // several paths: the list stays
    app->threadStrell({made[7]});           // already listed: stays
    app->streller().waitUntilIdle();
    QTRY_COMPARE(titles(w.recentItem),
                 QStringList({"item8", "item7", "item6", "item5", "item4", "item3", "item2"}));
    QVERIFY(w.recentItem->menuAction()->isEnabled());

    // A path that no longer exists stays in the list but leaves the menu.
    QVERIFY(QDir(made[5]).removeRecursively());
    app->setupRecentMenu();
    QCOMPARE(titles(w.recentItem),
             QStringList({"item8", "item7", "item5", "item4", "item3", "item2"}));
    QCOMPARE(app->streller().recentItems().size(), size_t{7});
    for (const QString& path : made) QDir(path).removeRecursively();
    app->setupRecentMenu();
    QVERIFY(w.recentItem->actions().isEmpty());
    QVERIFY(!w.recentItem->menuAction()->isEnabled());
  }

  void recentTitleResolvesToTheNewestMatch() {
    auto app = start();
    const QString older = folder("a/same");
    const QString newer = folder("b/same");
    app->streller().setRecentItems({newer.toStdString(), older.toStdString()});
    app->setupRecentMenu();
    QCOMPARE(titles(app->strellWindow()->recentItem), QStringList({"same", "same"}));
    const QList<QAction*> items = app->strellWindow()->recentItem->actions();
    // Full paths tell the two apart.
    QCOMPARE(items[0]->toolTip(), newer);
    QCOMPARE(items[1]->toolTip(), older);
    QVERIFY(app->strellWindow()->recentItem->toolTipsVisible());
    items[1]->trigger();
    QCOMPARE(requests_, QList<QStringList>({{newer}}));
  }

  void clearMenuEmptiesTheRecentList() {
    auto app = start();
    const QString one = folder("one");
    app->streller().setRecentItems({one.toStdString()});
    app->setupRecentMenu();
    QMenu* menu = app->strellWindow()->recentItem;
    auto* clear = menu->findChild<QAction*>("clearRecentAction");
    QVERIFY(clear && menu->actions().contains(clear));
    QCOMPARE(clear->text(), QStringLiteral("Clear Menu"));
    clear->trigger();
    QTRY_VERIFY(app->streller().recentItems().empty());
    QVERIFY(!menu->menuAction()->isEnabled());
    QVERIFY(menu->actions().isEmpty());
    QVERIFY(QSettings(env_->settingsFile(), QSettings::IniFormat)
                .value("recentItems")
                .toStringList()
                .isEmpty());
  }

  void browserMenuListsOnlyCachesPresent_data() {
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("none") << QStringList() << QStringList();
    QTest::newRow("only Safari") << QStringList({"Library/Caches/Safari"})
                                 << QStringList({"Safari"});
    QTest::newRow("only Mozilla") << QStringList({".mozilla"}) << QStringList({"Mozilla"});
    QTest::newRow("Chrome and Firefox, in table order")
        << QStringList({".cache/google-chrome", ".cache/mozilla/firefox"})
        << QStringList({"Firefox", "Google Chrome"});
    QTest::newRow("all seven") << QStringList({"Library/Caches/Safari",
                                               "Library/Caches/MS Internet Cache", ".mozilla",
                                               ".cache/mozilla/firefox",
                                               "Library/Caches/com.omnigroup.OmniWeb5",
                                               ".cache/chromium", ".cache/google-chrome"})
                               << QStringList({"Safari", "Internet Explorer", "Mozilla", "Firefox",
                                               "OmniWeb", "Chromium", "Google Chrome"});
  }
  void browserMenuListsOnlyCachesPresent() {
    QFETCH(QStringList, present);
    QFETCH(QStringList, expected);
    for (const QString& sub : present) QVERIFY(QDir(env_->homeQ()).mkpath(sub));
    auto app = start();
    QMenu* menu = app->strellWindow()->browserItem;
    QCOMPARE(titles(menu), expected);
    // Built once: a cache that appears later does not join.
    QVERIFY(QDir(env_->homeQ()).mkpath(".cache/chromium"));
    app->setupMenus();
    QCOMPARE(titles(menu), expected);
    if (present.size() == 1) {
      menu->actions().first()->trigger();
      QCOMPARE(requests_, QList<QStringList>({{env_->homeQ() + "/" + present.first()}}));
    }
  }

  void menuCommandsRequestTheirPaths() {
    auto app = start();
    MainWindow& w = *app->strellWindow();
    w.temporaryItemsAction->trigger();
    app->strellBrowserItems("Firefox");   // not tested for existence when chosen
    app->strellBrowserItems("Netscape");  // no such browser: nothing
    QVERIFY(app->openFile("/does/not/exist"));
    app->openFiles({"/x", "/y/z"});
    QCOMPARE(requests_, QList<QStringList>({{"/tmp"},
                                            {env_->homeQ() + "/.cache/mozilla/firefox"},
                                            {"/does/not/exist"},
                                            {"/x", "/y/z"}}));
    w.webPageAction->trigger();
    QCOMPARE(opened_.size(), 1);
    QCOMPARE(opened_[0].path(), QStringLiteral("/Streller/Streller.html"));
    QCOMPARE(opened_[0].scheme(), QStringLiteral("http"));
    w.stopAction->trigger();
    QVERIFY(app->streller().stopStreller());
  }

  void openPanelTakesFilesAndFolders() {
    const QString dir = folder("pick");
    for (const char* name : {"one.jpg", "two.gif"})
      WriteFile(env_->root() / "pick" / name, "bytes");
    const QString sub = folder("pick/a folder");
    auto app = start();
    MainWindow& w = *app->strellWindow();

    auto choose = [&](const QString& typed, bool accept) {
      w.openAction->trigger();
      auto* panel = w.findChild<OpenPanel*>();
      QVERIFY(panel);
      QCOMPARE(panel->windowModality(), Qt::WindowModal);
      QCOMPARE(panel->fileMode(), QFileDialog::ExistingFiles);
      panel->setDirectory(dir);
      panel->findChild<QLineEdit*>("fileNameEdit")->setText(typed);
      if (accept)
        panel->accept();
      else
        panel->reject();
      QTRY_VERIFY(w.findChild<OpenPanel*>() == nullptr);
    };
    choose(R"("one.jpg" "two.gif" "a folder")", true);
    choose(R"("one.jpg")", false);  // cancelled: nothing
    choose(R"("a folder")", true);
    QCOMPARE(requests_.size(), 2);
    QStringList several = requests_[0];
    several.sort();
    QCOMPARE(several, QStringList({sub, dir + "/one.jpg", dir + "/two.gif"}));
    QCOMPARE(requests_[1], QStringList({sub}));
  }
};

QTEST_MAIN(SourcesTest)
#include "sources_test.moc"
