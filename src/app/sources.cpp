// The sources of scan requests and their menus.
#include "app/sources.h"

#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QMenu>

#include "app/app_controller.h"
#include "app/main_window.h"
#include "app/open_panel.h"
#include "app/preferences.h"
#include "engine/paths.h"
#include "engine/platform.h"
#include "engine/strell_controller.h"

namespace strellbox {

namespace {

QString Decoded(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

// Something is there, following links.
bool ExistsAt(const std::string& path) { return QFileInfo::exists(Decoded(path)); }

// Menus take "&" as a mnemonic marker; a title shows as it is.
QString MenuText(QString title) { return title.replace(QLatin1Char('&'), QLatin1String("&&")); }

}  // namespace

void StrellAppController::setupMenus() {
  MainWindow& w = *strellWindow_;
  if (w.browserItem && !menusBuilt_) {
    // Built once: caches that appear or vanish later do not change it.
    for (const BrowserCache& cache : kBrowserCaches) {
      if (!ExistsAt(ExpandTilde(cache.folder))) continue;
      const QString title = QString::fromUtf8(cache.title);
      QAction* item = w.browserItem->addAction(MenuText(title));
      connect(item, &QAction::triggered, this, [this, title] { strellBrowserItems(title); });
    }
  }
  menusBuilt_ = true;
  setupRecentMenu();
}

void StrellAppController::setupRecentMenu() {
  MainWindow& w = *strellWindow_;
  if (!w.recentItem) return;
  w.recentItem->clear();
  w.recentItem->menuAction()->setEnabled(false);
  // Titles are last components; the tooltip tells two of a name apart.
  w.recentItem->setToolTipsVisible(true);
  bool any = false;
  for (const std::string& path : streller_->recentItems()) {
    if (!ExistsAt(path)) continue;  // kept in the list, left out of the menu
    const QString title = Decoded(LastPathComponent(path));
    QAction* item = w.recentItem->addAction(MenuText(title));
    item->setToolTip(Decoded(path));
    connect(item, &QAction::triggered, this, [this, title] { strellRecentItems(title); });
    any = true;
  }
  if (any) {
    w.recentItem->addSeparator();
    QAction* clear = w.recentItem->addAction(tr("Clear Menu"));
    clear->setObjectName(QStringLiteral("clearRecentAction"));
    connect(clear, &QAction::triggered, this, &StrellAppController::clearRecentMenu,
            Qt::QueuedConnection);  // the menu goes on using the action meanwhile
  }
  w.recentItem->menuAction()->setEnabled(any);
}

void StrellAppController::clearRecentMenu() {
  streller_->setRecentItems({});
  preferences_->setArray(keys::kRecentItems, {});
  setupRecentMenu();
}

void StrellAppController::strellRecentItems(const QString& title) {
  // The newest path with that last component, whether or not it exists.
  for (const std::string& path : streller_->recentItems()) {
    if (Decoded(LastPathComponent(path)) == title) {
      threadStrell({Decoded(path)});
      return;
    }
  }
}

void StrellAppController::strellBrowserItems(const QString& title) {
  for (const BrowserCache& cache : kBrowserCaches) {
    if (title == QString::fromUtf8(cache.title)) {
      threadStrell({Decoded(ExpandTilde(cache.folder))});
      return;
    }
  }
}

void StrellAppController::strellTemporaryItems() { threadStrell({QStringLiteral("/tmp")}); }

void StrellAppController::openAndStrell() {
  auto* panel = new OpenPanel(strellWindow_.get());
  panel->setFileMode(QFileDialog::ExistingFiles);
  panel->setDirectory(panelFolder());
  connect(panel, &QFileDialog::finished, this, [this, panel](int returnCode) {
    const QStringList chosen = panel->selectedFiles();
    if (returnCode == 1) rememberPanelFolder(panel->directory().absolutePath());
    panel->deleteLater();
    openForStrellingPanelDidEnd(returnCode, chosen);
  });
  panel->open();
}

void StrellAppController::openForStrellingPanelDidEnd(int returnCode,
                                                      const QStringList& filenames) {
  if (returnCode == 1) threadStrell(filenames);
}

bool StrellAppController::openFile(const QString& path) {
  threadStrell({path});
  return true;
}

void StrellAppController::openFiles(const QStringList& paths) { threadStrell(paths); }

void StrellAppController::handOver(const QStringList& paths) {
  MainWindow& w = *strellWindow_;
  w.show();
  w.setWindowState((w.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  w.raise();
  w.activateWindow();
  if (paths.size() == 1)
    openFile(paths.first());
  else if (!paths.isEmpty())
    openFiles(paths);
}

void StrellAppController::stopStrelling() { streller_->stopStrelling(); }

void StrellAppController::gotoStrellerWebPage() {
  openUrl(updateChecker_->makerUrl(QStringLiteral("/Streller/Streller.html")));
}

}  // namespace strellbox
