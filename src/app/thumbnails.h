// Thumbnails of the written items that Qt's own image readers do not read:
// HEIF and AVIF photos (libheif), JPEG XL (libjxl), the composite image of a
// Photoshop file, the first page of a PDF (the one-page PDFs of a PDF's
// images among them, through Qt PDF), and the cover art that sound and
// movie files carry. Called on the image worker's thread only.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

namespace strellbox {

// The thumbnail of the file at `path` by its extension, at most `bound`;
// null when the extension is none of the above or the file does not read.
QImage ThumbnailByType(const QString& path, QSize bound);

// The picture of each kind from its bytes, at full size (null when they do
// not read, or claim more pixels than a thumbnail is worth decoding).
QImage DecodeHeif(const QByteArray& bytes);
QImage DecodeJxl(const QByteArray& bytes);
QImage DecodePsdComposite(const QByteArray& bytes);
// The first picture a sound or movie file carries: ID3 APIC frames (their
// unsynchronisation undone), FLAC PICTURE blocks, MP4 `covr`, Matroska
// attachments, and Ogg METADATA_BLOCK_PICTURE comments.
QImage DecodeCoverArt(const QByteArray& bytes);

}  // namespace strellbox
