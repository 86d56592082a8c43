// The preferences window: what to scan for, updates, duplicates and where
// the output folders go. The controls only show state; the controller's
// actions write each change through to the preference store.
#pragma once

#include <QWidget>

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

  QCheckBox* pdfButton;
  QCheckBox* jpegButton;
  QCheckBox* gifButton;
  QCheckBox* pngButton;
  QCheckBox* flashButton;
  QCheckBox* base64Button;
  QCheckBox* bmpButton;
  QCheckBox* wavButton;
  QCheckBox* flateButton;
  QCheckBox* ASCIIButton;
  QCheckBox* HTMLButton;
  QCheckBox* updateButton;
  QComboBox* updateIntervalButton;
  QCheckBox* dontSaveDuplicatesButton;
  QButtonGroup* saveRadioButtons;  // ids 0 (Desktop), 1 (beside), 2 (folder)
  QLineEdit* strellFolderField;
  QPushButton* chooseButton;
};

}  // namespace strellbox
