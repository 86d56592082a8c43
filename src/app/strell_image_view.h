// The preview image of the main window, which is also the drop target:
// dropped files and folders are scanned as they are; dropped text is saved
// into "StrellerDrop.txt" in a folder private to the user and that file is
// scanned.
#pragma once

#include <QImage>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

class QByteArray;

namespace strellbox {

// A folder only this user can enter: $XDG_RUNTIME_DIR when it is a real
// folder of ours closed to others, else "strellbox-UID" under the temporary
// folder (made 0700), else, when someone else holds that name or it is open
// to others, a fresh 0700 folder beside it. Nothing when none can be made.
std::optional<std::string> PrivateTemporaryFolder();

// Writes the bytes to "StrellerDrop.txt" in the private folder, atomically
// and replacing any earlier drop (a link placed at that name is replaced,
// never followed). Returns the file's path, also when the write failed:
// the scan is requested anyway, as for any path that does not exist.
// Nothing when no private folder can be had.
std::optional<QString> WriteDroppedText(const QByteArray& bytes);

class StrellImageView : public QWidget {
  Q_OBJECT

 public:
  using Streller = std::function<void(const QStringList& paths)>;

  explicit StrellImageView(QWidget* parent = nullptr);

  // Where drops go (the controller's scan request).
  void setStreller(Streller streller) { streller_ = std::move(streller); }

  void setImage(const QImage& image);
  const QImage& image() const { return image_; }
  // What the empty preview says.
  static QString placeholder();

  QSize sizeHint() const override { return {360, 270}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  Streller streller_;
  QImage image_;
};

}  // namespace strellbox
