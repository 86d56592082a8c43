// RTF pictures and embedded objects under extended detection, in the flate
// row: their bytes are written as hex digits, decoded here like a stream.
#pragma once

#include <cstdint>
#include <string>

#include "engine/buffer.h"

namespace strellbox {

class ScanContext;

// Reports the picture of every \pict group (\pngblip, \jpegblip, \emfblip,
// \wmetafile, \dibitmap as a BMP, \macpict), hex or \bin, and hands every
// \objdata object to the gate (decoder "rtf"): they often hold a compound
// file.
int32_t strellRTF(ScanContext& context, const Buffer& data, const std::string& from);

}  // namespace strellbox
