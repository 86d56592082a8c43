// The preferences window: what to scan for, updates, duplicates and where
// the output folders go. The controls only show state; the controller's
// actions write each change through to the preference store.
#pragma once

#include <QWidget>
#include <array>

#include "engine/pass_table.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace strellbox {

class PreferencesWindow : public QWidget {
  Q_OBJECT

 public:
  // The check boxes come from the rows (the pass table unless a test
  // gives others).
  explicit PreferencesWindow(const std::array<PassRow, kPassCount>& rows = PassTable(),
                             QWidget* parent = nullptr);

  // The boxes of passes of extended detection sit under its switch and
  // can be changed only while it is on.
  void showExtendedDetection(bool on);
  bool followsExtendedSwitch(PassId id) const { return followsSwitch_[static_cast<size_t>(id)]; }

  // One check box per row of the pass table, named after its CLI key
  // ("pngButton"), in the table's order.
  std::array<QCheckBox*, kPassCount> scanButtons{};
  QCheckBox* scanButton(PassId id) const { return scanButtons[static_cast<size_t>(id)]; }
  QCheckBox* extendedButton;
  QCheckBox* updateButton;
  QComboBox* updateIntervalButton;
  QCheckBox* dontSaveDuplicatesButton;
  QCheckBox* openOutputFolderButton;
  QButtonGroup* saveRadioButtons;  // ids 0 (Desktop), 1 (beside), 2 (folder)
  QLineEdit* strellFolderField;
  QPushButton* chooseButton;
  QCheckBox* writeReportButton;
  // The noise filters; 0 ("no limit") leaves a bound out.
  QSpinBox* minSizeField;  // bytes
  QSpinBox* maxSizeField;
  QSpinBox* minWidthField;  // pixels
  QSpinBox* minHeightField;

 private:
  std::array<bool, kPassCount> followsSwitch_{};
};

}  // namespace strellbox
