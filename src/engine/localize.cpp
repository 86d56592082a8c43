#include "engine/localize.h"

#include <mutex>

namespace strellbox {

namespace {
std::mutex gMutex;
Translator gTranslator;
}  // namespace

std::string Localized(std::string_view english) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gTranslator) {
    std::string translated = gTranslator(english);
    if (!translated.empty()) return translated;
  }
  return std::string(english);
}

void SetTranslator(Translator translator) {
  std::lock_guard<std::mutex> lock(gMutex);
  gTranslator = std::move(translator);
}

}  // namespace strellbox
