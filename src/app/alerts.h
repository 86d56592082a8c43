// Modal alerts go through one presenter, so that the window shows real
// message boxes while tests read the texts and choose the answer.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace strellbox {

struct Alert {
  enum class Style { Informational, Stop, About };
  Style style = Style::Informational;
  QString message;
  QString informativeText;
  QStringList buttons;  // the first is the default button
};

class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;
  // Shows the alert modally; returns the index of the button chosen.
  virtual int runModal(const Alert& alert) = 0;
};

// Application-modal message boxes.
class MessageBoxPresenter : public AlertPresenter {
 public:
  explicit MessageBoxPresenter(QWidget* parent = nullptr) : parent_(parent) {}
  int runModal(const Alert& alert) override;

 private:
  QWidget* parent_;
};

}  // namespace strellbox
