// Decoding off the GUI thread: the preview's images, at the preview's size,
// and the results list's thumbnails, read from the written files. One
// thread does both, previews first; it answers through callbacks that run
// on that thread (callers post to the GUI themselves).
#pragma once

#include <QImage>
#include <QSize>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "engine/buffer.h"

class QByteArray;

namespace strellbox {

// True when the preview takes an image of this size: both sides strictly
// between 0 and 3000.
bool AcceptableForPreview(QSize size);

// The image of the bytes for the preview, decoded at most at `bound` (kept
// to its proportions; JPEG decodes at the reduced size directly), or
// nothing when the decoder refuses it or its full size is not acceptable.
std::optional<QImage> DecodePreviewImage(const QByteArray& bytes, QSize bound);

// A thumbnail of an image file, at most `bound`; null when it is not an
// image Qt can read.
QImage LoadThumbnail(const QString& path, QSize bound);

class ImageWorker {
 public:
  // The preview shows a new image every 0.2 s at most while a job runs, so
  // decoding more often is wasted work beside the scan: one preview is
  // decoded per interval, the newest one offered; older ones waiting are
  // dropped (a waiting one also holds its item's bytes).
  static constexpr size_t kMaxPendingPreviews = 1;
  static constexpr std::chrono::milliseconds kPreviewInterval{150};
  // Thumbnail requests come from rows being painted; past this many the
  // oldest are dropped (their rows ask again when painted again).
  static constexpr size_t kMaxPendingThumbnails = 256;

  // The preview image, or nothing when it is refused; a dropped preview
  // is not answered.
  using PreviewDone = std::function<void(std::optional<QImage>)>;
  // The thumbnail (null when the file is not a readable image), or
  // nothing when the request was dropped unseen (ask again later).
  using ThumbnailDone = std::function<void(std::optional<QImage>)>;

  ImageWorker();
  // Finishes the decode under way, drops the rest (their callbacks are
  // not called) and joins the thread.
  ~ImageWorker();
  ImageWorker(const ImageWorker&) = delete;
  ImageWorker& operator=(const ImageWorker&) = delete;

  void decodePreview(Buffer bytes, QSize bound, PreviewDone done);
  void loadThumbnail(QString path, QSize bound, ThumbnailDone done);
  // Nothing waiting and nothing being decoded.
  bool idle() const;

 private:
  struct Preview {
    Buffer bytes;
    QSize bound;
    PreviewDone done;
  };
  struct Thumbnail {
    QString path;
    QSize bound;
    ThumbnailDone done;
  };
  void run();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Preview> previews_;
  std::deque<Thumbnail> thumbnails_;
  bool busy_ = false;
  bool quit_ = false;
  std::chrono::steady_clock::time_point nextPreview_{};
  std::thread thread_;
};

}  // namespace strellbox
