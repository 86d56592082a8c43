// The passes of the content dispatcher, one row each, in the order they run
// over a buffer. Every list of passes derives from this table: the
// dispatcher's pass list, the CLI's keys and help, the preference keys and
// their defaults, the Preferences window's check boxes and the settings.
//
// A new format is one extractor file, one declaration and one row here, the
// German label in the window's translations, and its tests.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/buffer.h"

namespace strellbox {

class ScanContext;

// Rows of the table; the value is the row's index.
enum class PassId : uint8_t {
  kBase64,
  kSWF,
  kPNG,
  kGIF,
  kBMP,
  kWAV,
  kPDF,
  kJPEG,
  kASCII,
  kHTML,
  kWebP,
  kTIFF,
  kIsoMedia,
  kFLAC,
  kOgg,
  kMP3,
  kMatroska,
  kIcon,
  kPSD,
  kSVG,
  kDataURI,
  kEMF,
  kWMF,
  kJXL,
  kFlate,
};
inline constexpr size_t kPassCount = 25;

// A pass: scans the whole buffer, reports what it finds through the
// context and returns how many items it reported.
using PassFunction = int32_t (*)(ScanContext& context, const Buffer& data, const std::string& from);

// Whether a pass runs when the user has not said.
enum class PassDefault : uint8_t {
  kOff,
  kOn,
  // Rules beyond the classic ones: on with extended detection only.
  kWithExtended,
};

struct PassRow {
  PassId id;
  std::string_view typeKey;        // the dispatcher's key ("png")
  std::string_view cliKey;         // strellbox-cli's key ("png", "jpeg")
  std::string_view preferenceKey;  // the settings key ("scanForPNG")
  PassDefault byDefault;
  std::string_view label;  // the English label in Preferences
  PassFunction pass;
  // The pass's items of this type are offered to the preview ("" for none).
  std::string_view previewType;
  // What runs in the pass's place while it is off (""/nullptr: nothing):
  // compressed data is always searched for what it holds.
  std::string_view offTypeKey = {};
  PassFunction offPass = nullptr;
};

const std::array<PassRow, kPassCount>& PassTable();
inline const PassRow& Pass(PassId id) { return PassTable()[static_cast<size_t>(id)]; }
// The row for a CLI key, or nullptr.
const PassRow* PassByCliKey(std::string_view key);
// The CLI keys in table order, joined by ", ".
std::string PassCliKeys();
// The CLI keys of the rows with this default, joined by " ".
std::string PassCliKeys(PassDefault byDefault);

// The passes (each in its extractor's file).
int32_t strellBase64(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellSWF(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellPNG(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellGIF(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellBMP(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellWAV(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellPDF(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellJPEG(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellASCII(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellHTML(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellWebP(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellTIFF(ScanContext& context, const Buffer& data, const std::string& from);
// ISO base media files of every brand (MP4, MOV, HEIC, AVIF, CR3, JPEG 2000).
int32_t strellIsoMedia(ScanContext& context, const Buffer& data, const std::string& from);
// FLAC files and Ogg streams, with their cover art.
int32_t strellFLAC(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellOgg(ScanContext& context, const Buffer& data, const std::string& from);
// MP3 files, with their cover art.
int32_t strellMP3(ScanContext& context, const Buffer& data, const std::string& from);
// Matroska and WebM files, with their attachments.
int32_t strellMatroska(ScanContext& context, const Buffer& data, const std::string& from);
// Windows icons and cursors.
int32_t strellIcon(ScanContext& context, const Buffer& data, const std::string& from);
// Layered image files (PSD and PSB).
int32_t strellPSD(ScanContext& context, const Buffer& data, const std::string& from);
// SVG drawings, the pictures in data: URIs, Windows metafiles (EMF and
// WMF) and JPEG XL pictures.
int32_t strellSVG(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellDataURIs(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellEMF(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellWMF(ScanContext& context, const Buffer& data, const std::string& from);
int32_t strellJXL(ScanContext& context, const Buffer& data, const std::string& from);
// Zip archives, then every zlib stream inflated, scanned again and saved.
int32_t strellFlate(ScanContext& context, const Buffer& data, const std::string& from);
// Every zlib stream inflated and scanned again, not saved itself.
int32_t strellSilentFlate(ScanContext& context, const Buffer& data, const std::string& from);

}  // namespace strellbox
