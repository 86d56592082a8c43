#include "app/thumbnails.h"

#include <jxl/decode.h>
#include <libheif/heif.h>

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPdfDocument>
#include <QSet>
#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "engine/buffer.h"
#include "extractors/cover_art.h"
#include "extractors/psd.h"

namespace strellbox {

namespace {

// More pixels than this are not decoded for a thumbnail (a 64-megapixel
// photo still is); a longer side than this is refused before decoding.
constexpr qint64 kMaxPixels = qint64{1} << 26;
// A composite is unpacked a plane at a time beside its RGB copy.
constexpr uint64_t kMaxCompositePixels = uint64_t{1} << 24;
constexpr int kMaxSide = 1 << 16;
// Files read whole for a picture; a larger sound or movie file is searched
// for its cover in its first and last parts only, where the tags lie.
constexpr qint64 kMaxWhole = qint64{256} << 20;
constexpr qint64 kCoverEnds = qint64{16} << 20;
// Picture signatures tried in a sound file before giving up: one in the
// middle of compressed sound is chance.
constexpr int kMaxCandidates = 16;

QByteArray ReadAll(const QString& path, qint64 most) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly) || file.size() > most) return {};
  return file.readAll();
}

// A sound or movie file whole when it is small, else its two ends.
QByteArray ReadEnds(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  if (file.size() <= 4 * kCoverEnds) return file.readAll();
  QByteArray bytes = file.read(kCoverEnds);
  if (!file.seek(file.size() - kCoverEnds)) return bytes;
  return bytes + file.read(kCoverEnds);
}

QImage Shrunk(const QImage& image, QSize bound) {
  if (image.isNull() || (image.width() <= bound.width() && image.height() <= bound.height()))
    return image;
  return image.scaled(bound, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

bool TooLarge(qint64 width, qint64 height) {
  return width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
         width * height > kMaxPixels;
}

// The picture whose bytes start at `at`, read by the format its signature
// names; the reader stops at the picture's own end.
QImage PictureAt(const QByteArray& bytes, qsizetype at) {
  const QByteArray rest = QByteArray::fromRawData(bytes.constData() + at, bytes.size() - at);
  QBuffer buffer;
  buffer.setData(rest);
  if (!buffer.open(QIODevice::ReadOnly)) return {};
  QImageReader reader(&buffer);
  reader.setDecideFormatFromContent(true);
  if (const QSize size = reader.size(); size.isValid() && TooLarge(size.width(), size.height()))
    return {};
  return reader.read();
}

// The first JPEG or PNG in the bytes that decodes.
QImage FirstPicture(const QByteArray& bytes) {
  static const QByteArray kJpeg("\xFF\xD8\xFF", 3), kPng("\x89PNG\r\n\x1A\n", 8);
  qsizetype from = 0;
  for (int tries = 0; tries < kMaxCandidates; ++tries) {
    const qsizetype jpeg = bytes.indexOf(kJpeg, from), png = bytes.indexOf(kPng, from);
    if (jpeg < 0 && png < 0) return {};
    const qsizetype at = jpeg < 0 ? png : png < 0 ? jpeg : std::min(jpeg, png);
    if (QImage image = PictureAt(bytes, at); !image.isNull()) return image;
    from = at + 1;
  }
  return {};
}

QImage PdfFirstPage(const QString& path, QSize bound) {
  QPdfDocument document;
  if (document.load(path) != QPdfDocument::Error::None || document.pageCount() < 1) return {};
  const QSizeF points = document.pagePointSize(0);
  if (points.isEmpty()) return {};
  return document.render(0, points.toSize().scaled(bound, Qt::KeepAspectRatio).expandedTo({1, 1}));
}

// The picture of each kind from its bytes, at full size (null when they do
// not read, or claim more pixels than a thumbnail is worth decoding).
QImage DecodeHeif(const QByteArray& bytes) {
  const std::unique_ptr<heif_context, void (*)(heif_context*)> context(heif_context_alloc(),
                                                                       heif_context_free);
  if (!context) return {};
  heif_context_set_maximum_image_size_limit(context.get(), kMaxSide);
  if (heif_context_read_from_memory_without_copy(context.get(), bytes.constData(),
                                                 static_cast<size_t>(bytes.size()), nullptr)
          .code != heif_error_Ok)
    return {};
  heif_image_handle* primary = nullptr;
  if (heif_context_get_primary_image_handle(context.get(), &primary).code != heif_error_Ok)
    return {};
  const std::unique_ptr<heif_image_handle, void (*)(const heif_image_handle*)> handle(
      primary, heif_image_handle_release);
  if (TooLarge(heif_image_handle_get_width(primary), heif_image_handle_get_height(primary)))
    return {};
  heif_image* decoded = nullptr;
  if (heif_decode_image(primary, &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGBA,
                        nullptr)
          .code != heif_error_Ok)
    return {};
  const std::unique_ptr<heif_image, void (*)(const heif_image*)> image(decoded, heif_image_release);
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
  const int width = heif_image_get_width(decoded, heif_channel_interleaved);
  const int height = heif_image_get_height(decoded, heif_channel_interleaved);
  if (!plane || width <= 0 || height <= 0) return {};
  return QImage(plane, width, height, stride, QImage::Format_RGBA8888).copy();
}

QImage DecodeJxl(const QByteArray& bytes) {
  const std::unique_ptr<JxlDecoder, void (*)(JxlDecoder*)> decoder(JxlDecoderCreate(nullptr),
                                                                   JxlDecoderDestroy);
  if (!decoder) return {};
  JxlDecoder* dec = decoder.get();
  if (JxlDecoderSubscribeEvents(dec, JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(dec, reinterpret_cast<const uint8_t*>(bytes.constData()),
                         static_cast<size_t>(bytes.size())) != JXL_DEC_SUCCESS)
    return {};
  JxlDecoderCloseInput(dec);
  const JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  JxlBasicInfo info{};
  std::vector<uint8_t> pixels;
  for (;;) {
    switch (JxlDecoderProcessInput(dec)) {
      case JXL_DEC_BASIC_INFO:
        if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS ||
            TooLarge(info.xsize, info.ysize))
          return {};
        break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        size_t size = 0;
        if (JxlDecoderImageOutBufferSize(dec, &format, &size) != JXL_DEC_SUCCESS ||
            size != size_t{4} * info.xsize * info.ysize)
          return {};
        pixels.resize(size);
        if (JxlDecoderSetImageOutBuffer(dec, &format, pixels.data(), size) != JXL_DEC_SUCCESS)
          return {};
        break;
      }
      case JXL_DEC_FULL_IMAGE:  // the first frame is enough
        return QImage(pixels.data(), static_cast<int>(info.xsize), static_cast<int>(info.ysize),
                      static_cast<qsizetype>(info.xsize) * 4, QImage::Format_RGBA8888)
            .copy();
      default:
        return {};  // an error, the input cut short, or an event not asked for
    }
  }
}

QImage DecodePsdComposite(const QByteArray& bytes) {
  const std::optional<RgbImage> composite = PsdCompositeOf(
      Buffer::copyOf(bytes.constData(), static_cast<uint64_t>(bytes.size())), kMaxCompositePixels);
  if (!composite) return {};
  return QImage(composite->rgb.data(), static_cast<int>(composite->width),
                static_cast<int>(composite->height), static_cast<qsizetype>(composite->width) * 3,
                QImage::Format_RGB888)
      .copy();
}

// The first picture a sound or movie file carries: ID3 APIC frames (their
// unsynchronisation undone), FLAC PICTURE blocks and Ogg METADATA_BLOCK_PICTURE
// comments read by their tags; MP4 `covr`, Matroska attachments and CR3
// previews found where they lie whole.
QImage DecodeCoverArt(const QByteArray& bytes) {
  const std::optional<Buffer> tagged =
      TaggedCoverOf(Buffer::copyOf(bytes.constData(), static_cast<uint64_t>(bytes.size())));
  if (tagged) {
    const QByteArray picture(reinterpret_cast<const char*>(tagged->data()),
                             static_cast<qsizetype>(tagged->size()));
    return PictureAt(picture, 0);
  }
  // MP4 `covr`, Matroska attachments and CR3 previews lie whole in the file.
  return FirstPicture(bytes);
}

}  // namespace

QImage ThumbnailByType(const QString& path, QSize bound) {
  static const QSet<QString> kHeif = {"heic", "heif", "hif", "avif"};
  static const QSet<QString> kCovers = {"mp3", "m4a",  "m4b", "m4v", "mp4", "mov",  "3gp",
                                        "3g2", "flac", "ogg", "mkv", "mka", "webm", "cr3"};
  const QString ext = QFileInfo(path).suffix().toLower();
  if (ext == "pdf") return PdfFirstPage(path, bound);
  QImage image;
  if (kHeif.contains(ext)) {
    image = DecodeHeif(ReadAll(path, kMaxWhole));
  } else if (ext == "jxl") {
    image = DecodeJxl(ReadAll(path, kMaxWhole));
  } else if (ext == "psd" || ext == "psb") {
    image = DecodePsdComposite(ReadAll(path, kMaxWhole));
  } else if (kCovers.contains(ext)) {
    image = DecodeCoverArt(ReadEnds(path));
  }
  return Shrunk(image, bound);
}

}  // namespace strellbox
