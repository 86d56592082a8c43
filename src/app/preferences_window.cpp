#include "app/preferences_window.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
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
  auto check = [&](const QString& title, const char* name, int index) {
    auto* box = new QCheckBox(title, scanBox);
    box->setObjectName(QLatin1String(name));
    scanGrid->addWidget(box, index / 2, index % 2);
    return box;
  };
  pdfButton = check(tr("PDF documents and their images"), "pdfButton", 0);
  jpegButton = check(tr("JPEG images"), "jpegButton", 1);
  gifButton = check(tr("GIF images"), "gifButton", 2);
  pngButton = check(tr("PNG images"), "pngButton", 3);
  flashButton = check(tr("Flash movies"), "flashButton", 4);
  base64Button = check(tr("Base64 attachments"), "base64Button", 5);
  bmpButton = check(tr("BMP images"), "bmpButton", 6);
  wavButton = check(tr("WAV sounds"), "wavButton", 7);
  flateButton = check(tr("Zip archives and compressed data"), "flateButton", 8);
  ASCIIButton = check(tr("Plain text"), "ASCIIButton", 9);
  HTMLButton = check(tr("HTML documents"), "HTMLButton", 10);

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
