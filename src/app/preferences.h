// The preference store: QSettings under the program's keys, with the
// registered defaults answering for every key that was never written.
#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

#include "engine/pass_table.h"

namespace strellbox {

namespace keys {
// The scan flags' keys are the pass table's preference keys.
inline constexpr char kExtendedDetection[] = "extendedDetection";
// Not shown in Preferences: the scan workers, 0 for one per online processor.
inline constexpr char kScanJobs[] = "scanJobs";
inline constexpr char kCheckForUpdates[] = "checkForUpdates";
inline constexpr char kCheckForUpdatesInterval[] = "checkForUpdatesInterval";
inline constexpr char kDontSaveDuplicates[] = "dontSaveDuplicates";
inline constexpr char kSaveRadioChosen[] = "saveRadioChosen";
inline constexpr char kSaveFolder[] = "saveFolder";
inline constexpr char kLastVersionCheck[] = "LastVersionCheck";
inline constexpr char kRecentItems[] = "recentItems";
// Open the output folder when a job that wrote something ends unstopped.
inline constexpr char kOpenOutputFolder[] = "openOutputFolder";
// The folder the file panels last showed; they start in the home folder
// until then.
inline constexpr char kLastPanelFolder[] = "lastPanelFolder";
// Each job writes its DFXML report, report.xml, into its output folder.
inline constexpr char kWriteReport[] = "writeReport";
// Noise filters, 0 for none: items of fewer or more bytes, pictures of a
// smaller width or height are left out.
inline constexpr char kMinItemSize[] = "minItemSize";
inline constexpr char kMaxItemSize[] = "maxItemSize";
inline constexpr char kMinPictureWidth[] = "minPictureWidth";
inline constexpr char kMinPictureHeight[] = "minPictureHeight";
}  // namespace keys

// A stored value read as an integer: booleans are 0 or 1, numbers are
// truncated toward zero, text holding a number or "true"/"false" counts
// as that; anything else is 0.
int IntegerFrom(const QVariant& value);

// What a pass's stored check box means to the engine. A pass of extended
// detection runs only with that switch: ticked (or never set) it follows
// the switch, unticked it stays off. Any other pass is on or off as stored,
// or its registered default.
PassDefault ScanSettingFromStored(PassDefault byDefault, const QVariant& stored);

class Preferences {
 public:
  // An empty file name means the user's standard settings location.
  explicit Preferences(const QString& file = {});

  // The registered default of a key; invalid for keys without one.
  static QVariant registeredDefault(const QString& key);

  // The stored value, else the registered default, else invalid.
  QVariant value(const QString& key) const;
  int integerForKey(const QString& key) const { return IntegerFrom(value(key)); }
  bool boolForKey(const QString& key) const { return integerForKey(key) != 0; }
  QString stringForKey(const QString& key) const;
  QStringList arrayForKey(const QString& key) const;

  // Each setter writes through to disk at once.
  void setBool(const QString& key, bool on);
  void setInteger(const QString& key, int value);
  void setString(const QString& key, const QString& value);
  void setArray(const QString& key, const QStringList& value);
  void synchronize();

  QString fileName() const { return settings_->fileName(); }

 private:
  std::unique_ptr<QSettings> settings_;
};

}  // namespace strellbox
