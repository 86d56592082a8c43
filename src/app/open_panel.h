// A file panel, run as a sheet on its window, in which folders can be
// chosen as well as files (Qt's own dialog would open a chosen folder
// instead of returning it).
#pragma once

#include <QFileDialog>
#include <QFileInfo>

namespace strellbox {

class OpenPanel : public QFileDialog {
  Q_OBJECT

 public:
  explicit OpenPanel(QWidget* parent) : QFileDialog(parent) {
    setOption(QFileDialog::DontUseNativeDialog);
    setWindowModality(Qt::WindowModal);
  }

  void accept() override {
    const QStringList chosen = selectedFiles();
    if (chosen.isEmpty()) return;
    for (const QString& path : chosen)
      if (!QFileInfo::exists(path)) return QFileDialog::accept();  // let the panel say so
    QDialog::accept();
  }
};

}  // namespace strellbox
