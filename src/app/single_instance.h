// One window per user: a second launch hands its paths to the running
// window over a local socket in the user's private folder, and ends.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;

namespace strellbox {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // The socket: "strellbox.socket" in the private folder of the user
  // (see PrivateTemporaryFolder); empty when there is none.
  static QString serverPath();

  // Hands the paths (absolute; none just raises the window) to a running
  // window; true once that window has confirmed them. Waits at most
  // timeoutMs in all: this runs before any window of its own exists.
  static bool handOff(const QStringList& paths, const QString& server = serverPath(),
                      int timeoutMs = 3000);

  explicit SingleInstance(QObject* parent = nullptr);
  ~SingleInstance() override;

  // Listens for later launches; a socket left behind by a crashed window
  // is replaced. False when another window took the name meanwhile (hand
  // off to it) or the socket cannot be made.
  bool listen(const QString& server = serverPath());

 signals:
  // A later launch's paths (possibly none).
  void pathsReceived(const QStringList& paths);

 private:
  QLocalServer* server_;
};

}  // namespace strellbox
