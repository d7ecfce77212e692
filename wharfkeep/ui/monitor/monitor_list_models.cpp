#include "monitor_list_models.h"

#include "monitor_texts.h"

namespace wharfkeep::ui::monitor {
namespace {

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

std::string Bytes(const QString& text) {
    return text.toStdString();
}

}  // namespace

TextLineModel::TextLineModel(std::vector<ColumnLayout> columns, QObject* parent)
    : QAbstractTableModel(parent), columns_(std::move(columns)) {}

void TextLineModel::SetLines(std::vector<QStringList> lines) {
    beginResetModel();
    lines_ = std::move(lines);
    endResetModel();
}

int TextLineModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

int TextLineModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant TextLineModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || role != Qt::DisplayRole || index.row() >= rowCount() ||
        index.column() >= columnCount()) {
        return {};
    }
    const QStringList& line = lines_[static_cast<std::size_t>(index.row())];
    return index.column() < line.size() ? line[index.column()] : QString();
}

QVariant TextLineModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= columnCount()) {
        return {};
    }
    return columns_[static_cast<std::size_t>(section)].header;
}

ResourceListModel::ResourceListModel(QObject* parent)
    : TextLineModel(
          {
              {tr("文件名"), CompareRule::TextNoCase},
              {tr("文件大小"), CompareRule::Size},
              {tr("上传速度"), CompareRule::Speed},
              {tr("当前连接数"), CompareRule::Decimal},
              {tr("总上传量"), CompareRule::Size},
              {tr("发布时间"), CompareRule::TextNoCase},
              {QStringLiteral("GCID"), CompareRule::TextNoCase},
          },
          parent) {}

QStringList ResourceListModel::Line(const host::ResourceActivity& entry, const MediaRecord* media) {
    QStringList line;
    line.reserve(ColumnCount);
    QString name;
    if (media != nullptr) {
        name = Text(media->name.empty() ? display_name_of(media->local_path) : media->name);
    }
    const std::uint64_t size =
        media != nullptr && media->file_size > 0 ? static_cast<std::uint64_t>(media->file_size) : 0;
    line << name << Text(BytesText(size)) << Text(BitRateText(entry.speed))
         << QString::number(entry.sessions) << Text(BytesText(entry.bytes_sent))
         << (media != nullptr ? Text(media->publish_date) : QString()) << Text(entry.gcid);
    return line;
}

ConnectionListModel::ConnectionListModel(QObject* parent)
    : TextLineModel(
          {
              {QStringLiteral("Peer ID"), CompareRule::TextNoCase},
              {tr("IP/端口"), CompareRule::Address},
              {tr("接收速度"), CompareRule::Speed},
              {tr("总接收量"), CompareRule::Size},
              {tr("持续连接时长"), CompareRule::Duration},
          },
          parent) {}

QStringList ConnectionListModel::Line(const host::PeerConnection& entry) {
    QStringList line;
    line.reserve(ColumnCount);
    line << Text(PeerIdText(entry.peer_id)) << Text(PeerAddressText(entry.address))
         << Text(BitRateText(entry.speed)) << Text(BytesText(entry.bytes_sent))
         << Text(DurationText(entry.duration));
    return line;
}

MonitorSortProxy::MonitorSortProxy(TextLineModel& source, QObject* parent)
    : QSortFilterProxyModel(parent), source_(source) {
    setSourceModel(&source);
}

int MonitorSortProxy::Compare(CompareRule rule, const QString& a, const QString& b) {
    switch (rule) {
        case CompareRule::TextNoCase:
            return QString::compare(a, b, Qt::CaseInsensitive);
        case CompareRule::Decimal:
            return CompareDecimalTexts(Bytes(a), Bytes(b));
        case CompareRule::Size:
        case CompareRule::Speed:
            // A speed's "b/s" follows the unit letter, which is what the size rule reads.
            return CompareSizeTexts(Bytes(a), Bytes(b));
        case CompareRule::Address:
            return CompareAddressTexts(Bytes(a), Bytes(b));
        case CompareRule::Duration:
            return CompareDurationTexts(Bytes(a), Bytes(b));
    }
    return 0;
}

bool MonitorSortProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    const int column = left.column();
    if (column < 0 || column >= source_.columnCount()) {
        return false;
    }
    const CompareRule rule = source_.Columns()[static_cast<std::size_t>(column)].rule;
    return Compare(rule, left.data().toString(), right.data().toString()) < 0;
}

}  // namespace wharfkeep::ui::monitor
