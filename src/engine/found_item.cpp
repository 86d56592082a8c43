#include "engine/found_item.h"

namespace strellbox {

std::string_view ItemEndName(ItemEnd end) {
  switch (end) {
    case ItemEnd::kLength:
      return "length";
    case ItemEnd::kWalk:
      return "walk";
    case ItemEnd::kMarker:
      return "marker";
    case ItemEnd::kBuffer:
      return "buffer";
    case ItemEnd::kDecoded:
      return "decoded";
  }
  return "";
}

}  // namespace strellbox
