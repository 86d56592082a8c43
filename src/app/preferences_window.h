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

namespace strellbox {

class PreferencesWindow : public QWidget {
  Q_OBJECT

 public:
  explicit PreferencesWindow(QWidget* parent = nullptr);

  // One check box per row of the pass table, named after its CLI key
  // ("pngButton"), in the table's order.
  std::array<QCheckBox*, kPassCount> scanButtons{};
  QCheckBox* scanButton(PassId id) const { return scanButtons[static_cast<size_t>(id)]; }
  QCheckBox* extendedButton;
  QCheckBox* updateButton;
  QComboBox* updateIntervalButton;
  QCheckBox* dontSaveDuplicatesButton;
  QButtonGroup* saveRadioButtons;  // ids 0 (Desktop), 1 (beside), 2 (folder)
  QLineEdit* strellFolderField;
  QPushButton* chooseButton;
};

}  // namespace strellbox
