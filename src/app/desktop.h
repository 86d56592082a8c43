// What the window asks of the Linux desktop beyond opening a URL: showing
// a file in the file manager, a notification, and the About box's text.
#pragma once

#include <QString>
#include <QUrl>
#include <functional>

class QObject;

namespace strellbox {

// Shows the file selected in its folder through the freedesktop file
// manager service; where there is none (or it fails), opens the folder
// with `openUrl`. Never waits for the desktop.
void RevealInFileManager(const QString& file, const std::function<void(const QUrl&)>& openUrl);

// A desktop notification through the freedesktop notification service,
// else a message of a tray icon where a tray exists, else nothing. Never
// waits for the desktop.
void ShowDesktopNotification(const QString& title, const QString& body);

// The About box: version, licence, and the libraries with their versions.
QString AboutTitle();
QString AboutText();

}  // namespace strellbox
