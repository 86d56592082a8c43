#include "engine/scan_preferences.h"

namespace strellbox {

ScanPreferences::ScanPreferences() {
  for (const PassRow& row : PassTable()) setScanSetting(row.id, row.byDefault);
}

void ScanPreferences::setAllScans(bool on) {
  for (const PassRow& row : PassTable()) setScanFor(row.id, on);
}

bool ScanPreferences::scanFor(PassId id) const {
  switch (scanSetting(id)) {
    case PassDefault::kOn:
      return true;
    case PassDefault::kWithExtended:
      return extendedDetection();
    case PassDefault::kOff:
      break;
  }
  return false;
}

ScanSettings ScanPreferences::scanSettings() const {
  ScanSettings settings;
  for (const PassRow& row : PassTable())
    settings.scan[static_cast<size_t>(row.id)] = scanFor(row.id);
  settings.extended = extendedDetection();
  return settings;
}

std::string ScanPreferences::saveFolder() const {
  std::lock_guard<std::mutex> lock(saveFolderMutex_);
  return saveFolder_;
}

void ScanPreferences::setSaveFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(saveFolderMutex_);
  saveFolder_ = folder;
}

}  // namespace strellbox
