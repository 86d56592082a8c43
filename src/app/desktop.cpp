#include "app/desktop.h"

#include <fmt/core.h>
#include <openssl/crypto.h>
#include <zlib.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVariantMap>

#include "engine/platform.h"

#ifndef STRELLBOX_LICENSE
#define STRELLBOX_LICENSE "All rights reserved"
#endif
#ifndef STRELLBOX_PLIST_VERSION
#define STRELLBOX_PLIST_VERSION ""
#endif

namespace strellbox {

namespace {

// A desktop call waits this long for its answer, then the fallback runs.
constexpr int kDesktopCallTimeoutMs = 3000;
// How long a tray icon stays up to carry its message.
constexpr int kTrayMessageMs = 10000;

// Only a session bus that is there is asked: without one the library
// would try to start a bus of its own.
bool SessionBusPresent() {
  if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  return !runtime.isEmpty() && QFileInfo::exists(QFile::decodeName(runtime) + "/bus");
}

// Sends the call without waiting; `failed` runs when it fails or is not
// answered in time.
void CallDesktop(const QDBusMessage& call, std::function<void()> failed) {
  if (!SessionBusPresent()) return failed();
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return failed();
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kDesktopCallTimeoutMs), qApp);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp,
                   [watcher, failed = std::move(failed)] {
                     if (watcher->isError()) failed();
                     watcher->deleteLater();
                   });
}

}  // namespace

void RevealInFileManager(const QString& file, const std::function<void(const QUrl&)>& openUrl) {
  const QUrl folder = QUrl::fromLocalFile(QFileInfo(file).absolutePath());
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.FileManager1"),
      QStringLiteral("/org/freedesktop/FileManager1"),
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
  call << QStringList{QUrl::fromLocalFile(file).toString()} << QString();
  CallDesktop(call, [openUrl, folder] { openUrl(folder); });
}

void ShowDesktopNotification(const QString& title, const QString& body) {
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.Notifications"),
      QStringLiteral("/org/freedesktop/Notifications"),
      QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
  call << QCoreApplication::applicationName() << 0u << QStringLiteral("strellbox") << title << body
       << QStringList() << QVariantMap() << -1;
  CallDesktop(call, [title, body] {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    auto* tray = new QSystemTrayIcon(QGuiApplication::windowIcon(), qApp);
    tray->show();
    tray->showMessage(title, body, QSystemTrayIcon::Information, kTrayMessageMs);
    QTimer::singleShot(kTrayMessageMs, tray, &QObject::deleteLater);
  });
}

QString AboutTitle() {
  return QCoreApplication::translate("strellbox::About", "Strellbox %1").arg(STRELLBOX_VERSION);
}

QString AboutText() {
  QString plist = QStringLiteral(STRELLBOX_PLIST_VERSION);
  QStringList libraries = {
      QStringLiteral("Qt %1").arg(QString::fromLatin1(qVersion())),
      QStringLiteral("zlib %1").arg(QString::fromLatin1(zlibVersion())),
      QString::fromLatin1(OpenSSL_version(OPENSSL_VERSION)),
      QStringLiteral("libplist %1").arg(plist).trimmed(),
      QStringLiteral("{fmt} %1.%2.%3")
          .arg(FMT_VERSION / 10000)
          .arg(FMT_VERSION / 100 % 100)
          .arg(FMT_VERSION % 100),
  };
  return QCoreApplication::translate(
             "strellbox::About",
             "Pulls the media and documents embedded in any file out into files of their "
             "own.\n\nLicence: %1\n\nBuilt with %2.")
      .arg(QStringLiteral(STRELLBOX_LICENSE), libraries.join(QStringLiteral(", ")));
}

}  // namespace strellbox
