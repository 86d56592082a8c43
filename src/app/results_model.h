// The results list: one row per file a job wrote, as the job writes it,
// with a thumbnail for images (read from the written file off the GUI
// thread, only for rows that are painted), name, type, size and source,
// the provenance chain as a tooltip. Rows drag out (and copy) as the
// files. The list shows them through a filter: one type or all, a text in
// the name or source, in the order of any column or as found.
#pragma once

#include <QAbstractTableModel>
#include <QCache>
#include <QHash>
#include <QIcon>
#include <QImage>
#include <QList>
#include <QPixmap>
#include <QSet>
#include <QSize>
#include <QSortFilterProxyModel>
#include <QString>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace strellbox {

struct FoundItem;
class ImageWorker;

struct ResultRow {
  struct Step {
    QString decoder;
    quint64 offset = 0;
  };
  QString path;  // the written file
  QString fileName;
  QString type;
  qint64 size = 0;
  QString source;     // the source name the pass was given
  QString container;  // the real file the bytes came from
  QList<Step> chain;  // decodings from the container down to the item's buffer
  quint64 offset = 0;
  QString pass;    // the pass's CLI key
  QString end;     // how its end was known
  QString sha256;  // hex
};

// The row of a written file, from the display's notice.
ResultRow ResultRowFrom(const std::string& path, const std::string& fileName,
                        const FoundItem& item);

class ResultsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kName, kType, kSize, kSource, kColumnCount };
  // The value a column sorts by: the size as a number, else the text shown.
  static constexpr int kSortRole = Qt::UserRole + 1;
  static constexpr int kThumbnailSide = 40;
  // Thumbnails kept at once; others are read again when painted again.
  static constexpr int kMaxThumbnails = 500;

  // `worker` (not owned) reads the thumbnails; it must outlive the model.
  explicit ResultsModel(ImageWorker* worker, QObject* parent = nullptr);

  void append(std::vector<ResultRow> rows);
  void clear();
  const ResultRow& row(int index) const { return rows_[static_cast<size_t>(index)]; }
  int count() const { return static_cast<int>(rows_.size()); }

  // The types of the rows with their counts, most frequent first.
  std::vector<std::pair<QString, int>> countsByType() const;
  // The text of a row's source column: the file it came from and the
  // decodings on the way.
  static QString sourceText(const ResultRow& row);
  // The folder the rows were written into (that of the first).
  QString outputFolder() const;
  // Thumbnails asked for and not yet answered.
  bool thumbnailsPending() const { return !requested_.isEmpty(); }
  // The tooltip: the written file, the real file it came from, every
  // decoding on the way, the item's offset and pass, its SHA-256.
  static QString provenance(const ResultRow& row);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QStringList mimeTypes() const override;
  QMimeData* mimeData(const QModelIndexList& indexes) const override;
  Qt::DropActions supportedDragActions() const override { return Qt::CopyAction; }

 private:
  QVariant decoration(const ResultRow& row) const;
  void thumbnailArrived(quint64 generation, const QString& path, std::optional<QImage> image);

  ImageWorker* worker_;
  std::vector<ResultRow> rows_;
  QHash<QString, int> rowOfPath_;
  std::map<QString, int> typeCounts_;
  // Answers for rows of an earlier job are dropped by their generation.
  quint64 generation_ = 0;
  mutable QCache<QString, QPixmap> thumbnails_;
  mutable QSet<QString> requested_;
  mutable QSet<QString> noThumbnail_;
  mutable QHash<QString, QIcon> typeIcons_;
};

class ResultsFilter : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  explicit ResultsFilter(ResultsModel* results, QObject* parent = nullptr);

  // Only rows of this type (nothing: every type; "" is the type of items
  // without one).
  void setType(std::optional<QString> type);
  const std::optional<QString>& type() const { return type_; }
  // Only rows whose name or source holds the text (any case).
  void setText(const QString& text);
  // The row of the results shown at a row of this filter, and back.
  int resultRow(int row) const { return mapToSource(index(row, 0)).row(); }

 protected:
  bool filterAcceptsRow(int row, const QModelIndex& parent) const override;

 private:
  ResultsModel* results_;
  std::optional<QString> type_;
  QString text_;
};

}  // namespace strellbox
