#include "app/results_model.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLocale>
#include <QMimeData>
#include <QMimeDatabase>
#include <QPainter>
#include <QStyle>
#include <QUrl>
#include <algorithm>

#include "app/image_worker.h"
#include "engine/found_item.h"
#include "engine/platform.h"

namespace strellbox {

namespace {

QString Decoded(const std::string& path) {
  return QFile::decodeName(QByteArray::fromStdString(path));
}

bool HasThumbnail(const QString& type) {
  static const QList<QByteArray> formats = QImageReader::supportedImageFormats();
  return formats.contains(type.toLatin1().toLower());
}

// The thumbnail centred on a square, so that the names line up.
QPixmap Squared(const QImage& image) {
  QPixmap square(ResultsModel::kThumbnailSide, ResultsModel::kThumbnailSide);
  square.fill(Qt::transparent);
  QPainter painter(&square);
  painter.drawImage((square.width() - image.width()) / 2, (square.height() - image.height()) / 2,
                    image);
  return square;
}

}  // namespace

ResultRow ResultRowFrom(const std::string& path, const std::string& fileName,
                        const FoundItem& item) {
  ResultRow row;
  row.path = Decoded(path);
  row.fileName = Decoded(fileName);
  row.type = QString::fromStdString(item.type);
  row.size = static_cast<qint64>(item.size);
  row.source = Decoded(item.source);
  const Origin& origin = item.data.origin();
  row.container = Decoded(origin.container);
  for (const OriginStep& step : origin.chain)
    row.chain.append({QString::fromStdString(step.decoder), step.offset});
  row.offset = item.offset;
  row.pass = QString::fromLatin1(Pass(item.pass).cliKey.data(),
                                 static_cast<qsizetype>(Pass(item.pass).cliKey.size()));
  const std::string_view end = ItemEndName(item.end);
  row.end = QString::fromLatin1(end.data(), static_cast<qsizetype>(end.size()));
  row.sha256 = QByteArray(reinterpret_cast<const char*>(item.digest.data()),
                          static_cast<qsizetype>(item.digest.size()))
                   .toHex();
  return row;
}

ResultsModel::ResultsModel(ImageWorker* worker, QObject* parent)
    : QAbstractTableModel(parent), worker_(worker), thumbnails_(kMaxThumbnails) {}

void ResultsModel::append(std::vector<ResultRow> rows) {
  if (rows.empty()) return;
  const int first = count();
  beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
  for (ResultRow& row : rows) {
    rowOfPath_.insert(row.path, count());
    ++typeCounts_[row.type];
    rows_.push_back(std::move(row));
  }
  endInsertRows();
}

void ResultsModel::clear() {
  beginResetModel();
  rows_.clear();
  rowOfPath_.clear();
  typeCounts_.clear();
  thumbnails_.clear();
  requested_.clear();
  noThumbnail_.clear();
  ++generation_;
  endResetModel();
}

std::vector<std::pair<QString, int>> ResultsModel::countsByType() const {
  std::vector<std::pair<QString, int>> counts(typeCounts_.begin(), typeCounts_.end());
  std::stable_sort(counts.begin(), counts.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  return counts;
}

QString ResultsModel::sourceText(const ResultRow& row) {
  QString source = QFileInfo(row.container.isEmpty() ? row.source : row.container).fileName();
  for (const ResultRow::Step& step : row.chain) source += QStringLiteral(" › ") + step.decoder;
  return source;
}

QString ResultsModel::outputFolder() const {
  return rows_.empty() ? QString() : QFileInfo(rows_.front().path).absolutePath();
}

QString ResultsModel::provenance(const ResultRow& row) {
  QStringList lines = {row.path};
  if (!row.container.isEmpty()) lines.append(tr("Found in %1").arg(row.container));
  for (const ResultRow::Step& step : row.chain)
    lines.append(tr("  ↳ %1 data from offset %2").arg(step.decoder).arg(step.offset));
  lines.append(tr("Offset %1, pass %2").arg(row.offset).arg(row.pass));
  lines.append(tr("End known by: %1").arg(row.end));
  lines.append(QStringLiteral("SHA-256 %1").arg(row.sha256));
  return lines.join(QLatin1Char('\n'));
}

int ResultsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : count();
}

int ResultsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= count()) return {};
  const ResultRow& r = row(index.row());
  switch (role) {
    case Qt::DisplayRole:
      switch (index.column()) {
        case kName:
          return r.fileName;
        case kType:
          return r.type;
        case kSize:
          return QLocale().formattedDataSize(r.size, 1, QLocale::DataSizeSIFormat);
        case kSource:
          return sourceText(r);
      }
      return {};
    case kSortRole:
      return index.column() == kSize ? QVariant(r.size) : data(index, Qt::DisplayRole);
    case Qt::DecorationRole:
      return index.column() == kName ? decoration(r) : QVariant();
    case Qt::ToolTipRole:
      return provenance(r);
    case Qt::TextAlignmentRole:
      return index.column() == kSize ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
  }
  return {};
}

QVariant ResultsModel::decoration(const ResultRow& r) const {
  if (HasThumbnail(r.type) && !noThumbnail_.contains(r.path)) {
    if (const QPixmap* thumbnail = thumbnails_.object(r.path)) return *thumbnail;
    if (worker_ && !requested_.contains(r.path)) {
      requested_.insert(r.path);
      // The answer comes on the worker's thread; the model takes it on its own.
      auto* self = const_cast<ResultsModel*>(this);
      worker_->loadThumbnail(
          r.path, QSize(kThumbnailSide, kThumbnailSide),
          [self, generation = generation_, path = r.path](std::optional<QImage> image) {
            QMetaObject::invokeMethod(self,
                                      [self, generation, path, image = std::move(image)]() mutable {
                                        self->thumbnailArrived(generation, path, std::move(image));
                                      });
          });
    }
  }
  QIcon& icon = typeIcons_[r.type];
  if (icon.isNull()) {
    const QString name =
        QMimeDatabase().mimeTypeForFile(r.fileName, QMimeDatabase::MatchExtension).iconName();
    icon = QIcon::fromTheme(name, QApplication::style()->standardIcon(QStyle::SP_FileIcon));
  }
  return icon;
}

void ResultsModel::thumbnailArrived(quint64 generation, const QString& path,
                                    std::optional<QImage> image) {
  if (generation != generation_) return;
  requested_.remove(path);
  if (!image) return;  // dropped unseen: asked again when painted again
  if (image->isNull())
    noThumbnail_.insert(path);
  else
    thumbnails_.insert(path, new QPixmap(Squared(*image)));
  if (const auto it = rowOfPath_.constFind(path); it != rowOfPath_.cend()) {
    const QModelIndex cell = index(*it, kName);
    emit dataChanged(cell, cell, {Qt::DecorationRole});
  }
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case kName:
      return tr("Name");
    case kType:
      return tr("Type");
    case kSize:
      return tr("Size");
    case kSource:
      return tr("Source");
  }
  return {};
}

Qt::ItemFlags ResultsModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

QStringList ResultsModel::mimeTypes() const { return {QStringLiteral("text/uri-list")}; }

QMimeData* ResultsModel::mimeData(const QModelIndexList& indexes) const {
  QList<QUrl> urls;
  QStringList paths;
  QSet<int> seen;
  for (const QModelIndex& index : indexes) {
    if (!index.isValid() || seen.contains(index.row())) continue;
    seen.insert(index.row());
    urls.append(QUrl::fromLocalFile(row(index.row()).path));
    paths.append(row(index.row()).path);
  }
  auto* mime = new QMimeData;
  mime->setUrls(urls);
  // Pasted as text, the paths, one a line.
  mime->setText(paths.join(QLatin1Char('\n')));
  return mime;
}

ResultsFilter::ResultsFilter(ResultsModel* results, QObject* parent)
    : QSortFilterProxyModel(parent), results_(results) {
  setSourceModel(results);
  setSortRole(ResultsModel::kSortRole);
  setSortCaseSensitivity(Qt::CaseInsensitive);
  setSortLocaleAware(true);
}

void ResultsFilter::setType(std::optional<QString> type) {
  if (type == type_) return;
  type_ = std::move(type);
  invalidateRowsFilter();
}

void ResultsFilter::setText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  invalidateRowsFilter();
}

bool ResultsFilter::filterAcceptsRow(int row, const QModelIndex& parent) const {
  if (parent.isValid() || row >= results_->count()) return false;
  const ResultRow& r = results_->row(row);
  if (type_ && r.type != *type_) return false;
  if (text_.isEmpty()) return true;
  for (const QString* field : {&r.fileName, &r.source, &r.container})
    if (field->contains(text_, Qt::CaseInsensitive)) return true;
  return ResultsModel::sourceText(r).contains(text_, Qt::CaseInsensitive);
}

}  // namespace strellbox
