#include "app/strell_image_view.h"

#include <errno.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QPainter>
#include <QUrl>

#include "engine/log.h"

namespace strellbox {

namespace {

constexpr char kDropFileName[] = "StrellerDrop.txt";

// A real folder (not a link) owned by us that nobody else may enter.
bool IsPrivateFolder(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// The file names of a drag: the local files among its URLs.
QStringList DroppedFileNames(const QMimeData* mime) {
  QStringList names;
  if (!mime || !mime->hasUrls()) return names;
  for (const QUrl& url : mime->urls())
    if (url.isLocalFile()) names.append(url.toLocalFile());
  return names;
}

}  // namespace

std::optional<std::string> PrivateTemporaryFolder() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      runtime && runtime[0] == '/' && IsPrivateFolder(runtime))
    return std::string(runtime);

  const std::string base = QFile::encodeName(QDir::tempPath()).toStdString();
  const std::string mine = fmt::format("{}/strellbox-{}", base, ::geteuid());
  if ((::mkdir(mine.c_str(), 0700) == 0 || errno == EEXIST) && IsPrivateFolder(mine)) return mine;

  // The usual name is taken by someone else or open to others: do not use
  // it, make a fresh folder that is ours alone.
  std::string fresh = fmt::format("{}/strellbox-{}-XXXXXX", base, ::geteuid());
  if (::mkdtemp(fresh.data())) return fresh;
  return std::nullopt;
}

std::optional<QString> WriteDroppedText(const QByteArray& bytes) {
  const std::optional<std::string> folder = PrivateTemporaryFolder();
  if (!folder) {
    StrellLog("No private folder for dropped text");
    return std::nullopt;
  }
  const std::string target = fmt::format("{}/{}", *folder, kDropFileName);
  // mkstemp opens with O_EXCL, so it never writes through a link; rename
  // then replaces whatever stands at the name (a link included) at once.
  std::string temp = fmt::format("{}/.StrellerDrop-XXXXXX", *folder);
  bool ok = false;
  if (const int fd = ::mkstemp(temp.data()); fd >= 0) {
    ok = WriteAll(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
    ok = (::fchmod(fd, 0600) == 0) && ok;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
  }
  if (!ok) StrellLog(fmt::format("Could not write {}", target));
  return QFile::decodeName(target.c_str());
}

StrellImageView::StrellImageView(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("strellImageView"));
  setAcceptDrops(true);
  setMinimumSize(160, 120);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

QString StrellImageView::placeholder() { return tr("Drop files or folders here"); }

void StrellImageView::setImage(const QImage& image) {
  image_ = image;
  update();
}

void StrellImageView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().base());
  painter.setPen(palette().mid().color());
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
  if (image_.isNull()) {
    painter.setPen(palette().placeholderText().color());
    painter.drawText(rect().adjusted(12, 12, -12, -12), Qt::AlignCenter | Qt::TextWordWrap,
                     placeholder());
    return;
  }
  // Shrink to fit, never enlarge, centred.
  const QRect inner = rect().adjusted(4, 4, -4, -4);
  QSize size = image_.size();
  if (size.width() > inner.width() || size.height() > inner.height())
    size.scale(inner.size(), Qt::KeepAspectRatio);
  const QRect target(inner.center() - QPoint(size.width() / 2, size.height() / 2), size);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  painter.drawImage(target, image_);
}

void StrellImageView::dragEnterEvent(QDragEnterEvent* event) {
  const QMimeData* mime = event->mimeData();
  if (!DroppedFileNames(mime).isEmpty()) {
    // Files are only ever copied from, never moved away.
    if (event->possibleActions() & Qt::CopyAction) {
      event->setDropAction(Qt::CopyAction);
      event->accept();
    } else {
      event->ignore();
    }
  } else if (mime && mime->hasText()) {
    // Text is taken whatever the source allows; Qt keeps the source's own
    // action when copying is not among them.
    event->setDropAction(Qt::CopyAction);
    event->accept();
  } else {
    event->ignore();
  }
}

void StrellImageView::dragMoveEvent(QDragMoveEvent* event) {
  // Same answer over the whole view.
  if (event->isAccepted()) event->setDropAction(Qt::CopyAction);
}

void StrellImageView::dropEvent(QDropEvent* event) {
  const QMimeData* mime = event->mimeData();
  const QStringList files = DroppedFileNames(mime);
  if (!files.isEmpty()) {
    if (streller_) streller_(files);
  } else if (mime && mime->hasText()) {
    QByteArray bytes = mime->data(QStringLiteral("text/plain"));
    if (bytes.isEmpty()) bytes = mime->text().toUtf8();
    const std::optional<QString> path = WriteDroppedText(bytes);
    if (path && streller_) streller_({*path});
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

}  // namespace strellbox
