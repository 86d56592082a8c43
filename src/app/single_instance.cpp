#include "app/single_instance.h"

#include <QDataStream>
#include <QDeadlineTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include "app/strell_image_view.h"

namespace strellbox {

namespace {

// The answer of a window that took the paths.
constexpr char kTaken = 'T';
// A launch hands over a few paths; a message far beyond this is not one.
constexpr qint64 kMaxMessageBytes = 16 << 20;
// A window that is there accepts at once; this only covers a busy machine.
constexpr int kProbeMs = 500;

QByteArray Encoded(const QStringList& paths) {
  QByteArray message;
  QDataStream out(&message, QIODevice::WriteOnly);
  out.setVersion(QDataStream::Qt_6_0);
  out << paths;
  return message;
}

}  // namespace

QString SingleInstance::serverPath() {
  const std::optional<std::string> folder = PrivateTemporaryFolder();
  if (!folder) return {};
  return QFile::decodeName(QByteArray::fromStdString(*folder)) +
         QStringLiteral("/strellbox.socket");
}

bool SingleInstance::handOff(const QStringList& paths, const QString& server, int timeoutMs) {
  if (server.isEmpty()) return false;
  const QDeadlineTimer deadline(timeoutMs);
  QLocalSocket socket;
  socket.connectToServer(server);
  if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) return false;
  const QByteArray message = Encoded(paths);
  QDataStream length(&socket);
  length << static_cast<quint32>(message.size());
  socket.write(message);
  while (socket.bytesToWrite() > 0)
    if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) return false;
  while (socket.bytesAvailable() < 1)
    if (!socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) return false;
  char answer = 0;
  return socket.getChar(&answer) && answer == kTaken;
}

SingleInstance::SingleInstance(QObject* parent) : QObject(parent), server_(new QLocalServer(this)) {
  connect(server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      socket->setParent(this);
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        // A length, then the list; wait until all of it is here.
        QDataStream in(socket);
        in.setVersion(QDataStream::Qt_6_0);
        in.startTransaction();
        quint32 size = 0;
        QStringList paths;
        in >> size;
        if (in.status() == QDataStream::Ok && size > kMaxMessageBytes) {
          socket->abort();
          return;
        }
        in >> paths;
        if (!in.commitTransaction()) return;  // more to come
        socket->putChar(kTaken);
        socket->flush();
        emit pathsReceived(paths);
      });
    }
  });
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::listen(const QString& server) {
  if (server.isEmpty()) return false;
  // Someone answers at that name: not ours to take. (The folder is the
  // user's alone, so the socket needs no permissions of its own.)
  QLocalSocket probe;
  probe.connectToServer(server);
  if (probe.waitForConnected(kProbeMs)) return false;
  QLocalServer::removeServer(server);
  return server_->listen(server);
}

}  // namespace strellbox
