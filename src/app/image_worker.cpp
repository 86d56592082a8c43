#include "app/image_worker.h"

#include <sys/resource.h>
#include <unistd.h>

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>

#include "app/thumbnails.h"

namespace strellbox {

namespace {

constexpr int kMaximumPreviewSide = 3000;
// The decoding thread's niceness: well below the scan, still served on a
// desktop that is busy with other work.
constexpr int kNiceness = 10;

// The size to decode at: the full size shrunk into the bound, never grown.
QSize ShrunkInto(QSize full, QSize bound) {
  if (!bound.isValid() || bound.isEmpty()) return full;
  if (full.width() <= bound.width() && full.height() <= bound.height()) return full;
  return full.scaled(bound, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

// Reads one image through the reader, at most `bound`. The full size is
// given back in `full` when the header told it, else the decoded size.
QImage ReadShrunk(QImageReader& reader, QSize bound, QSize* full) {
  const QSize announced = reader.size();
  *full = announced;
  if (announced.isValid() && !announced.isEmpty()) {
    const QSize target = ShrunkInto(announced, bound);
    if (target != announced) reader.setScaledSize(target);
  }
  QImage image;
  if (!reader.read(&image) || image.isNull()) return {};
  if (!announced.isValid()) {
    *full = image.size();
    const QSize target = ShrunkInto(image.size(), bound);
    if (target != image.size())
      image = image.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  }
  return image;
}

}  // namespace

bool AcceptableForPreview(QSize size) {
  return size.width() > 0 && size.width() < kMaximumPreviewSide && size.height() > 0 &&
         size.height() < kMaximumPreviewSide;
}

std::optional<QImage> DecodePreviewImage(const QByteArray& bytes, QSize bound) {
  QBuffer buffer;
  buffer.setData(bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  reader.setDecideFormatFromContent(true);
  // Refuse from the header when it already tells, before decoding.
  if (const QSize announced = reader.size();
      announced.isValid() && !AcceptableForPreview(announced))
    return std::nullopt;
  QSize full;
  QImage image = ReadShrunk(reader, bound, &full);
  if (image.isNull() || !AcceptableForPreview(full)) return std::nullopt;
  return image;
}

QImage LoadThumbnail(const QString& path, QSize bound) {
  QImageReader reader(path);
  reader.setDecideFormatFromContent(true);
  QSize full;
  QImage image = ReadShrunk(reader, bound, &full);
  return image.isNull() ? ThumbnailByType(path, bound) : image;
}

ImageWorker::ImageWorker() : thread_(&ImageWorker::run, this) {}

ImageWorker::~ImageWorker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
    previews_.clear();
    thumbnails_.clear();
  }
  wake_.notify_all();
  thread_.join();
}

void ImageWorker::decodePreview(Buffer bytes, QSize bound, PreviewDone done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previews_.push_back({std::move(bytes), bound, std::move(done)});
    while (previews_.size() > kMaxPendingPreviews) previews_.pop_front();
  }
  wake_.notify_one();
}

void ImageWorker::loadThumbnail(QString path, QSize bound, ThumbnailDone done) {
  std::deque<Thumbnail> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    thumbnails_.push_back({std::move(path), bound, std::move(done)});
    while (thumbnails_.size() > kMaxPendingThumbnails) {
      dropped.push_back(std::move(thumbnails_.front()));
      thumbnails_.pop_front();
    }
  }
  wake_.notify_one();
  for (Thumbnail& t : dropped) t.done(std::nullopt);
}

bool ImageWorker::idle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !busy_ && previews_.empty() && thumbnails_.empty();
}

void ImageWorker::run() {
  // Decoding for the eye gives way to the scan on a busy machine.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kNiceness);
  using Clock = std::chrono::steady_clock;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // A preview is due once its interval has passed; thumbnails fill the
    // time between.
    const bool previewDue = !previews_.empty() && Clock::now() >= nextPreview_;
    if (quit_) return;
    if (!previewDue && thumbnails_.empty()) {
      if (previews_.empty())
        wake_.wait(lock);
      else
        wake_.wait_until(lock, nextPreview_);
      continue;
    }
    busy_ = true;
    if (previewDue) {
      Preview job = std::move(previews_.front());
      previews_.pop_front();
      nextPreview_ = Clock::now() + kPreviewInterval;
      lock.unlock();
      // The bytes stay alive in `job` for as long as the decoder reads them.
      const QByteArray raw =
          QByteArray::fromRawData(reinterpret_cast<const char*>(job.bytes.data()),
                                  static_cast<qsizetype>(job.bytes.size()));
      std::optional<QImage> image = DecodePreviewImage(raw, job.bound);
      job.done(std::move(image));
    } else {
      // Newest request first: the rows painted last are the ones in view.
      Thumbnail job = std::move(thumbnails_.back());
      thumbnails_.pop_back();
      lock.unlock();
      job.done(LoadThumbnail(job.path, job.bound));
    }
    lock.lock();
    busy_ = false;
  }
}

}  // namespace strellbox
