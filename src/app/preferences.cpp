#include "app/preferences.h"

#include <QHash>
#include <cmath>
#include <limits>

#include "engine/pass_table.h"

namespace strellbox {

namespace {

// The factory settings, each stored as the type it was registered with.
// "recentItems" has none on purpose, and neither has a pass that runs with
// extended detection only: until the user sets it, it follows that switch.
const QHash<QString, QVariant>& RegisteredDefaults() {
  static const QHash<QString, QVariant> defaults = [] {
    QHash<QString, QVariant> table = {
        {keys::kExtendedDetection, true},
        {keys::kScanJobs, 0},
        {keys::kCheckForUpdates, true},
        {keys::kCheckForUpdatesInterval, 1.0},
        {keys::kDontSaveDuplicates, 1},
        {keys::kSaveRadioChosen, 0},
        {keys::kSaveFolder, QStringLiteral("~/Desktop")},
        {keys::kLastVersionCheck, QStringLiteral("2004-08-24 10:45:32 +0600")},
        {keys::kOpenOutputFolder, true},
        {keys::kWriteReport, true},
        {keys::kMinItemSize, 0},
        {keys::kMaxItemSize, 0},
        {keys::kMinPictureWidth, 0},
        {keys::kMinPictureHeight, 0},
    };
    for (const PassRow& row : PassTable()) {
      if (row.byDefault == PassDefault::kWithExtended) continue;
      const QString key = QString::fromLatin1(row.preferenceKey.data(), row.preferenceKey.size());
      table.insert(key, row.byDefault == PassDefault::kOn);
    }
    return table;
  }();
  return defaults;
}

int Truncated(double d) {
  if (!std::isfinite(d)) return 0;
  if (d >= static_cast<double>(std::numeric_limits<int>::max()))
    return std::numeric_limits<int>::max();
  if (d <= static_cast<double>(std::numeric_limits<int>::min()))
    return std::numeric_limits<int>::min();
  return static_cast<int>(d);
}

}  // namespace

int IntegerFrom(const QVariant& value) {
  switch (value.typeId()) {
    case QMetaType::Bool:
      return value.toBool() ? 1 : 0;
    case QMetaType::Double:
    case QMetaType::Float:
      return Truncated(value.toDouble());
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
      return Truncated(value.toDouble());
    default:
      break;
  }
  // The INI file gives back text: "true", "1", "1.0", ...
  const QString text = value.toString().trimmed();
  if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) return 1;
  if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) return 0;
  bool ok = false;
  const double d = text.toDouble(&ok);
  return ok ? Truncated(d) : 0;
}

PassDefault ScanSettingFromStored(PassDefault byDefault, const QVariant& stored) {
  if (!stored.isValid()) return byDefault;
  const bool on = IntegerFrom(stored) != 0;
  if (byDefault == PassDefault::kWithExtended)
    return on ? PassDefault::kWithExtended : PassDefault::kOff;
  return on ? PassDefault::kOn : PassDefault::kOff;
}

Preferences::Preferences(const QString& file)
    : settings_(file.isEmpty() ? std::make_unique<QSettings>()
                               : std::make_unique<QSettings>(file, QSettings::IniFormat)) {}

QVariant Preferences::registeredDefault(const QString& key) {
  return RegisteredDefaults().value(key);
}

QVariant Preferences::value(const QString& key) const {
  return settings_->value(key, registeredDefault(key));
}

QString Preferences::stringForKey(const QString& key) const { return value(key).toString(); }

QStringList Preferences::arrayForKey(const QString& key) const { return value(key).toStringList(); }

void Preferences::setBool(const QString& key, bool on) {
  settings_->setValue(key, on);
  synchronize();
}

void Preferences::setInteger(const QString& key, int value) {
  settings_->setValue(key, value);
  synchronize();
}

void Preferences::setString(const QString& key, const QString& value) {
  settings_->setValue(key, value);
  synchronize();
}

void Preferences::setArray(const QString& key, const QStringList& value) {
  settings_->setValue(key, value);
  synchronize();
}

void Preferences::synchronize() { settings_->sync(); }

}  // namespace strellbox
