// The controller the container readers' fuzz targets scan with: logging
// silenced, extended detection on, only the passes a container's members
// meet by default, and every reported item checked: it must lie inside its
// buffer, and `check`, when given, may ask more of it. A failed check
// aborts, which the fuzzer reports.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/buffer.h"
#include "engine/log.h"
#include "engine/strell_controller.h"

namespace strellbox {

using FuzzItemCheck = void (*)(const Buffer& data, uint64_t from, uint64_t length,
                               std::string_view type);

inline StrellController* ContainerFuzzController(FuzzItemCheck check = nullptr) {
  SetLogSink([](std::string_view) {});
  auto* controller = new StrellController;
  controller->setAllScans(false);
  controller->setExtendedDetection(true);
  controller->setSaveObserverForTesting([check](const Buffer& data, uint64_t from, uint64_t length,
                                                std::string_view type, std::string_view, int32_t,
                                                ItemEnd) {
    if (from > data.size() || length > data.size() - from) std::abort();
    if (check) check(data, from, length, type);
  });
  return controller;
}

}  // namespace strellbox
