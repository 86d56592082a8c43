#include "engine/pass_table.h"

#include <fmt/format.h>

// Marks a label for the window's translations (lupdate reads it as
// QT_TRANSLATE_NOOP); the core uses the English text as it is.
#define STRELLBOX_LABEL(context, text) text

namespace strellbox {

namespace {

using D = PassDefault;

// The dispatcher runs the rows in this order (the buffer's guessed type
// first); the flate row stays last, so that the passes over inflated data
// never run before a pass of the buffer around it.
constexpr std::array<PassRow, kPassCount> kTable = {{
    {PassId::kBase64, "base64", "base64", "scanForBase64", D::kOn,
     STRELLBOX_LABEL("PassTable", "Base64 attachments"), strellBase64, ""},
    {PassId::kSWF, "swf", "flash", "scanForFlash", D::kOn,
     STRELLBOX_LABEL("PassTable", "Flash movies"), strellSWF, ""},
    {PassId::kPNG, "png", "png", "scanForPNG", D::kOn, STRELLBOX_LABEL("PassTable", "PNG images"),
     strellPNG, "png"},
    {PassId::kGIF, "gif", "gif", "scanForGIF", D::kOn, STRELLBOX_LABEL("PassTable", "GIF images"),
     strellGIF, "gif"},
    {PassId::kBMP, "bmp", "bmp", "scanForBmp", D::kOn, STRELLBOX_LABEL("PassTable", "BMP images"),
     strellBMP, ""},
    {PassId::kWAV, "wav", "wav", "scanForWav", D::kOn, STRELLBOX_LABEL("PassTable", "WAV sounds"),
     strellWAV, ""},
    {PassId::kPDF, "pdf", "pdf", "scanForPDF", D::kOn,
     STRELLBOX_LABEL("PassTable", "PDF documents and their images"), strellPDF, "pdf"},
    {PassId::kJPEG, "jpg", "jpeg", "scanForJPEG", D::kOn,
     STRELLBOX_LABEL("PassTable", "JPEG images"), strellJPEG, "jpg"},
    {PassId::kASCII, "txt", "ascii", "scanForASCII", D::kOff,
     STRELLBOX_LABEL("PassTable", "Plain text"), strellASCII, ""},
    {PassId::kHTML, "html", "html", "scanForHTML", D::kOff,
     STRELLBOX_LABEL("PassTable", "HTML documents"), strellHTML, ""},
    {PassId::kWebP, "webp", "webp", "scanForWebP", D::kWithExtended,
     STRELLBOX_LABEL("PassTable", "WebP images"), strellWebP, "webp"},
    {PassId::kTIFF, "tiff", "tiff", "scanForTIFF", D::kWithExtended,
     STRELLBOX_LABEL("PassTable", "TIFF images and camera raw files"), strellTIFF, "tiff"},
    {PassId::kIsoMedia, "mp4", "mp4", "scanForISOMedia", D::kWithExtended,
     STRELLBOX_LABEL("PassTable", "MP4, MOV, HEIC, AVIF and other ISO media"), strellIsoMedia, ""},
    {PassId::kFLAC, "flac", "flac", "scanForFLAC", D::kWithExtended,
     STRELLBOX_LABEL("PassTable", "FLAC sounds and their cover art"), strellFLAC, ""},
    {PassId::kOgg, "ogg", "ogg", "scanForOgg", D::kWithExtended,
     STRELLBOX_LABEL("PassTable", "Ogg sounds and videos and their cover art"), strellOgg, ""},
    {PassId::kMP3, "mp3", "mp3", "scanForMP3", D::kWithExtended,
     STRELLBOX_LABEL("PassTable", "MP3 sounds and their cover art"), strellMP3, ""},
    {PassId::kMatroska, "mkv", "matroska", "scanForMatroska", D::kWithExtended,
     STRELLBOX_LABEL("PassTable", "Matroska and WebM videos and their attachments"), strellMatroska,
     ""},
    {PassId::kIcon, "ico", "icon", "scanForIcons", D::kWithExtended,
     STRELLBOX_LABEL("PassTable", "Windows icons and cursors"), strellIcon, ""},
    {PassId::kPSD, "psd", "psd", "scanForPSD", D::kWithExtended,
     STRELLBOX_LABEL("PassTable", "PSD and PSB layered images"), strellPSD, ""},
    {PassId::kSVG, "svg", "svg", "scanForSVG", D::kWithExtended,
     STRELLBOX_LABEL("PassTable", "SVG drawings"), strellSVG, ""},
    {PassId::kDataURI, "data-uri", "data-uri", "scanForDataURIs", D::kWithExtended,
     STRELLBOX_LABEL("PassTable", "Pictures in data: URIs"), strellDataURIs, ""},
    {PassId::kEMF, "emf", "emf", "scanForEMF", D::kWithExtended,
     STRELLBOX_LABEL("PassTable", "EMF drawings"), strellEMF, ""},
    {PassId::kWMF, "wmf", "wmf", "scanForWMF", D::kWithExtended,
     STRELLBOX_LABEL("PassTable", "WMF drawings"), strellWMF, ""},
    {PassId::kJXL, "jxl", "jxl", "scanForJXL", D::kWithExtended,
     STRELLBOX_LABEL("PassTable", "JPEG XL images"), strellJXL, ""},
    {PassId::kFlate, "flate", "flate", "scanForFlate", D::kOff,
     STRELLBOX_LABEL("PassTable", "Zip archives and compressed data"), strellFlate, "",
     "silentflate", strellSilentFlate},
}};

constexpr bool RowsInIdOrder() {
  for (size_t i = 0; i < kTable.size(); ++i)
    if (static_cast<size_t>(kTable[i].id) != i) return false;
  return kTable.back().id == PassId::kFlate;
}
static_assert(RowsInIdOrder(), "each row stands at its PassId; flate is last");

}  // namespace

const std::array<PassRow, kPassCount>& PassTable() { return kTable; }

const PassRow* PassByCliKey(std::string_view key) {
  for (const PassRow& row : kTable)
    if (row.cliKey == key) return &row;
  return nullptr;
}

std::string PassCliKeys() {
  std::string keys;
  for (const PassRow& row : kTable)
    keys += fmt::format("{}{}", keys.empty() ? "" : ", ", row.cliKey);
  return keys;
}

std::string PassCliKeys(PassDefault byDefault) {
  std::string keys;
  for (const PassRow& row : kTable)
    if (row.byDefault == byDefault)
      keys += fmt::format("{}{}", keys.empty() ? "" : " ", row.cliKey);
  return keys;
}

}  // namespace strellbox
