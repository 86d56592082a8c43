// What the PDF reader and the extractors may ask of the controller: the
// stop request, fine-grained progress and the reporting of found items.
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/buffer.h"
#include "engine/found_item.h"

namespace strellbox {

class StrellerProgress {
 public:
  virtual ~StrellerProgress() = default;
  virtual bool stopStreller() const = 0;
  virtual void subProgress(double fraction) = 0;
  // Reports an item: the bytes [from, from + length) of `data`, with its
  // type, the source name, its number among the items of this pass call
  // and how its end was known.
  virtual void saveStrell(const Buffer& data, uint64_t from, uint64_t length, std::string_view type,
                          std::string_view original, int32_t foundNo, ItemEnd end) = 0;
};

}  // namespace strellbox
