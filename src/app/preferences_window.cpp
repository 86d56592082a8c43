#include "app/preferences_window.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace strellbox {

PreferencesWindow::PreferencesWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setWindowTitle(tr("Preferences"));
  setObjectName(QStringLiteral("preferencesWindow"));

  auto* scanBox = new QGroupBox(tr("Look for"), this);
  auto* scanGrid = new QGridLayout(scanBox);
  int index = 0;
  for (const PassRow& row : PassTable()) {
    const std::string label(row.label);
    auto* box = new QCheckBox(QCoreApplication::translate("PassTable", label.c_str()), scanBox);
    box->setObjectName(QString::fromLatin1(row.cliKey.data(), row.cliKey.size()) +
                       QStringLiteral("Button"));
    scanGrid->addWidget(box, index / 2, index % 2);
    scanButtons[static_cast<size_t>(row.id)] = box;
    ++index;
  }
  extendedButton = new QCheckBox(tr("Extended detection (modern files)"), scanBox);
  extendedButton->setObjectName(QStringLiteral("extendedButton"));
  extendedButton->setToolTip(
      tr("Rules beyond the classic ones, for the files today's programs write"));
  scanGrid->addWidget(extendedButton, (index + 1) / 2 + 1, 0, 1, 2);

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

  auto* saveBox = new QGroupBox(tr("Save found files"), this);
  auto* saveLayout = new QVBoxLayout(saveBox);
  saveRadioButtons = new QButtonGroup(saveBox);
  saveRadioButtons->setObjectName(QStringLiteral("saveRadioButtons"));
  auto* desktop = new QRadioButton(tr("On the Desktop"), saveBox);
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

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(scanBox);
  layout->addWidget(updateBox);
  layout->addWidget(dontSaveDuplicatesButton);
  layout->addWidget(saveBox);
  layout->addStretch();
}

}  // namespace strellbox
