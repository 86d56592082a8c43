// Thumbnails of the written items that Qt's own image readers do not read:
// HEIF and AVIF photos (libheif), JPEG XL (libjxl), the composite image of a
// Photoshop file, the first page of a PDF (the one-page PDFs of a PDF's
// images among them, through Qt PDF), and the cover art that sound and
// movie files carry. Called on the image worker's thread only.
#pragma once

#include <QImage>
#include <QSize>
#include <QString>

namespace strellbox {

// The thumbnail of the file at `path` by its extension, at most `bound`;
// null when the extension is none of the above or the file does not read.
QImage ThumbnailByType(const QString& path, QSize bound);

}  // namespace strellbox
