#include "app/preferences_window.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <limits>

#include "engine/platform.h"

namespace strellbox {

PreferencesWindow::PreferencesWindow(const std::array<PassRow, kPassCount>& rows, QWidget* parent)
    : QWidget(parent, Qt::Window) {
  setWindowTitle(tr("Preferences"));
  setObjectName(QStringLiteral("preferencesWindow"));

  auto* scanBox = new QGroupBox(tr("Look for"), this);
  auto* scanGrid = new QGridLayout(scanBox);
  auto makeBox = [&](const PassRow& row) {
    const std::string label(row.label);
    auto* box = new QCheckBox(QCoreApplication::translate("PassTable", label.c_str()), scanBox);
    box->setObjectName(QString::fromLatin1(row.cliKey.data(), row.cliKey.size()) +
                       QStringLiteral("Button"));
    scanButtons[static_cast<size_t>(row.id)] = box;
    return box;
  };
  int index = 0;
  for (const PassRow& row : rows) {
    if (row.byDefault == PassDefault::kWithExtended) continue;
    scanGrid->addWidget(makeBox(row), index / 2, index % 2);
    ++index;
  }
  const int switchRow = (index + 1) / 2;
  extendedButton = new QCheckBox(tr("Extended detection (modern files)"), scanBox);
  extendedButton->setObjectName(QStringLiteral("extendedButton"));
  extendedButton->setToolTip(
      tr("Rules beyond the classic ones, for the files today's programs write"));
  scanGrid->addWidget(extendedButton, switchRow, 0, 1, 2);
  // Passes of extended detection: indented under the switch they follow.
  auto* extendedGrid = new QGridLayout;
  extendedGrid->setContentsMargins(24, 0, 0, 0);
  int extended = 0;
  for (const PassRow& row : rows) {
    if (row.byDefault != PassDefault::kWithExtended) continue;
    QCheckBox* box = makeBox(row);
    box->setToolTip(tr("Runs with extended detection; untick to leave it out"));
    followsSwitch_[static_cast<size_t>(row.id)] = true;
    extendedGrid->addWidget(box, extended / 2, extended % 2);
    ++extended;
  }
  scanGrid->addLayout(extendedGrid, switchRow + 1, 0, 1, 2);
  showExtendedDetection(false);

  auto* updateBox = new QGroupBox(tr("Updates"), this);
  auto* updateRow = new QHBoxLayout(updateBox);
  updateButton = new QCheckBox(tr("Check for a new version"), updateBox);
  updateButton->setObjectName(QStringLiteral("updateButton"));
  updateIntervalButton = new QComboBox(updateBox);
  updateIntervalButton->setObjectName(QStringLiteral("updateIntervalButton"));
  // Index order matters: the update check turns the index into seconds.
  updateIntervalButton->addItem(tr("At every start"));
  updateIntervalButton->addItem(tr("Once a day"));
  updateIntervalButton->addItem(tr("Once a week"));
  updateIntervalButton->addItem(tr("Once a month"));
  updateRow->addWidget(updateButton);
  updateRow->addWidget(updateIntervalButton);
  updateRow->addStretch();

  dontSaveDuplicatesButton = new QCheckBox(tr("Don't save duplicates"), this);
  dontSaveDuplicatesButton->setObjectName(QStringLiteral("dontSaveDuplicatesButton"));
  openOutputFolderButton = new QCheckBox(tr("Open the output folder when a job ends"), this);
  openOutputFolderButton->setObjectName(QStringLiteral("openOutputFolderButton"));
  openOutputFolderButton->setToolTip(tr("Only when the job saved something and was not stopped"));

  auto* saveBox = new QGroupBox(tr("Save found files"), this);
  auto* saveLayout = new QVBoxLayout(saveBox);
  saveRadioButtons = new QButtonGroup(saveBox);
  saveRadioButtons->setObjectName(QStringLiteral("saveRadioButtons"));
  auto* desktop = new QRadioButton(tr("On the Desktop"), saveBox);
  // The engine's desktop: the user's XDG desktop folder, made when missing.
  desktop->setToolTip(QString::fromStdString(AbbreviateTilde(DesktopFolder())));
  auto* beside = new QRadioButton(tr("Beside the original"), saveBox);
  auto* inFolder = new QRadioButton(tr("In this folder:"), saveBox);
  saveRadioButtons->addButton(desktop, 0);
  saveRadioButtons->addButton(beside, 1);
  saveRadioButtons->addButton(inFolder, 2);
  strellFolderField = new QLineEdit(saveBox);
  strellFolderField->setObjectName(QStringLiteral("strellFolderField"));
  strellFolderField->setReadOnly(true);
  chooseButton = new QPushButton(tr("Choose…"), saveBox);
  chooseButton->setObjectName(QStringLiteral("chooseButton"));
  auto* folderRow = new QHBoxLayout;
  folderRow->addWidget(inFolder);
  folderRow->addWidget(strellFolderField, 1);
  folderRow->addWidget(chooseButton);
  saveLayout->addWidget(desktop);
  saveLayout->addWidget(beside);
  saveLayout->addLayout(folderRow);

  auto* reportBox = new QGroupBox(tr("Report and filters"), this);
  auto* reportLayout = new QVBoxLayout(reportBox);
  writeReportButton = new QCheckBox(
      tr("Write a report of each job (report.xml) into its output folder"), reportBox);
  writeReportButton->setObjectName(QStringLiteral("writeReportButton"));
  writeReportButton->setToolTip(
      tr("Digital Forensics XML: every item with where it was found and its hash"));
  auto bound = [&](const char* name, int maximum, const QString& suffix) {
    auto* field = new QSpinBox(reportBox);
    field->setObjectName(QString::fromLatin1(name));
    field->setRange(0, maximum);
    field->setSpecialValueText(tr("no limit"));
    field->setSuffix(suffix);
    field->setGroupSeparatorShown(true);
    return field;
  };
  constexpr int kMost = std::numeric_limits<int>::max();
  minSizeField = bound("minSizeField", kMost, tr(" bytes"));
  maxSizeField = bound("maxSizeField", kMost, tr(" bytes"));
  minWidthField = bound("minWidthField", 1000000, tr(" px"));
  minHeightField = bound("minHeightField", 1000000, tr(" px"));
  auto* pictureRow = new QHBoxLayout;
  pictureRow->addWidget(minWidthField);
  pictureRow->addWidget(new QLabel(QStringLiteral("×"), reportBox));
  pictureRow->addWidget(minHeightField);
  pictureRow->addStretch();
  auto* filters = new QFormLayout;
  filters->addRow(tr("Leave out items smaller than:"), minSizeField);
  filters->addRow(tr("Leave out items larger than:"), maxSizeField);
  filters->addRow(tr("Leave out pictures smaller than:"), pictureRow);
  reportLayout->addWidget(writeReportButton);
  reportLayout->addLayout(filters);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(scanBox);
  layout->addWidget(updateBox);
  layout->addWidget(dontSaveDuplicatesButton);
  layout->addWidget(openOutputFolderButton);
  layout->addWidget(saveBox);
  layout->addWidget(reportBox);
  layout->addStretch();
}

void PreferencesWindow::showExtendedDetection(bool on) {
  for (size_t i = 0; i < kPassCount; ++i)
    if (followsSwitch_[i] && scanButtons[i]) scanButtons[i]->setEnabled(on);
}

}  // namespace strellbox
