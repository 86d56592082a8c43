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

std::string_view ItemFilterName(ItemFilter filter) {
  switch (filter) {
    case ItemFilter::kMinSize:
      return "min-size";
    case ItemFilter::kMaxSize:
      return "max-size";
    case ItemFilter::kMinPixels:
      return "min-pixels";
  }
  return "";
}

}  // namespace strellbox
