#include "app/alerts.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>

namespace strellbox {

int MessageBoxPresenter::runModal(const Alert& alert) {
  QMessageBox box(parent_);
  if (alert.style == Alert::Style::About) {
    box.setIconPixmap(QGuiApplication::windowIcon().pixmap(64, 64));
    box.setWindowTitle(alert.message);
  } else {
    box.setIcon(alert.style == Alert::Style::Stop ? QMessageBox::Critical
                                                  : QMessageBox::Information);
  }
  box.setText(alert.message);
  if (!alert.informativeText.isEmpty()) box.setInformativeText(alert.informativeText);
  box.setWindowModality(Qt::ApplicationModal);
  QList<QAbstractButton*> buttons;
  for (int i = 0; i < alert.buttons.size(); ++i) {
    // The first button accepts; the others reject (Escape picks the last).
    const auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
    buttons.append(box.addButton(alert.buttons[i], role));
  }
  if (!buttons.isEmpty()) box.setDefaultButton(qobject_cast<QPushButton*>(buttons.first()));
  box.exec();
  const int chosen = static_cast<int>(buttons.indexOf(box.clickedButton()));
  return chosen < 0 ? static_cast<int>(buttons.size()) - 1 : chosen;
}

}  // namespace strellbox
