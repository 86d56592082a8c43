// Passes whose extractors are not yet built. Each returns 0 until the file
// of its format family replaces it; remove an entry from this list and its
// function below when that happens.
//
// NOT YET BUILT: strellZip, strellDeflate, strellSWF
#include "engine/strell_controller.h"

namespace strellbox {

int32_t StrellController::strellZip(const Buffer&, const std::string&) { return 0; }
int32_t StrellController::strellDeflate(const Buffer&, const std::string&, bool) { return 0; }
int32_t StrellController::strellSWF(const Buffer&, const std::string&) { return 0; }

}  // namespace strellbox
