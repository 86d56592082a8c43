// Passes whose extractors are not yet built. Each returns 0 until the file
// of its format family replaces it; remove an entry from this list and its
// function below when that happens.
//
// NOT YET BUILT: strellJPEG, strellGIF, strellPNG, strellBMP, strellWAV,
//                strellBase64, strellHTML, strellASCII, strellPDF
#include "engine/strell_controller.h"

namespace strellbox {

int32_t StrellController::strellJPEG(const Buffer&, const std::string&) { return 0; }
int32_t StrellController::strellGIF(const Buffer&, const std::string&) { return 0; }
int32_t StrellController::strellPNG(const Buffer&, const std::string&) { return 0; }
int32_t StrellController::strellBMP(const Buffer&, const std::string&) { return 0; }
int32_t StrellController::strellWAV(const Buffer&, const std::string&) { return 0; }
int32_t StrellController::strellBase64(const Buffer&, const std::string&) { return 0; }
int32_t StrellController::strellHTML(const Buffer&, const std::string&) { return 0; }
int32_t StrellController::strellASCII(const Buffer&, const std::string&) { return 0; }
int32_t StrellController::strellPDF(const Buffer&, const std::string&) { return 0; }

}  // namespace strellbox
