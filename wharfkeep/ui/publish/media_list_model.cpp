#include "media_list_model.h"

#include <algorithm>
#include <cstdio>
#include <span>

#include "wharfkeep/host/media_state.h"
#include "wharfkeep/host/server_host.h"
#include "wharfkeep/ui/designed_texts.h"

namespace wharfkeep::ui {

namespace {

constexpr double kBytesPerMegabyte = 1048576.0;

const char* const kColumnTitles[kMediaColumnCount] = {
    QT_TRANSLATE_NOOP("wharfkeep::ui::PublishMediaModel", "文件名"),
    QT_TRANSLATE_NOOP("wharfkeep::ui::PublishMediaModel", "文件大小"),
    QT_TRANSLATE_NOOP("wharfkeep::ui::PublishMediaModel", "发布状态"),
    QT_TRANSLATE_NOOP("wharfkeep::ui::PublishMediaModel", "修改日期"),
    QT_TRANSLATE_NOOP("wharfkeep::ui::PublishMediaModel", "发布日期")};

template <typename T>
int ThreeWay(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

QString MediaSizeText(std::int64_t bytes) {
    double megabytes = static_cast<double>(bytes) / kBytesPerMegabyte;
    double gigabytes = megabytes / 1024.0;
    char text[64];
    if (gigabytes > 1.0) {
        std::snprintf(text, sizeof text, "%.2f GB", gigabytes);
    } else if (bytes < 1048576) {
        // Below a megabyte in kilobytes, rounded up so that a small file never reads "0".
        std::snprintf(text, sizeof text, "%lld KB",
                      static_cast<long long>((std::max<std::int64_t>(bytes, 0) + 1023) / 1024));
    } else {
        std::snprintf(text, sizeof text, "%d MB", static_cast<int>(megabytes));
    }
    return QString::fromLatin1(text);
}

QString StateColumnText(int state, std::optional<int> progress) {
    QString text = ui::StateText(state);
    if (state == host::kPublishing && progress) {
        text += QStringLiteral(" %1%").arg(*progress);
    }
    return text;
}

int CompareMedia(const MediaRecord& first, const MediaRecord& second, int column) {
    switch (column) {
        case kColumnName:
            return ThreeWay(first.name, second.name);
        case kColumnSize:
            return ThreeWay(first.file_size, second.file_size);
        case kColumnState:
            return ThreeWay(first.state, second.state);
        case kColumnFileDate:
            return ThreeWay(first.file_date, second.file_date);
        case kColumnPublishDate:
            return ThreeWay(first.publish_date, second.publish_date);
        default:
            return 0;
    }
}

// ---- PublishMediaModel ----

namespace {

// Lines read from the source at a time, and pages kept (a few screens of a long list).
constexpr int kPageRows = 128;
constexpr std::size_t kPagesKept = 64;

}  // namespace

PublishMediaModel::PublishMediaModel(QObject* parent)
    : QAbstractTableModel(parent),
      source_(std::make_unique<RecordListSource>(std::vector<MediaRecord>{})) {}

PublishMediaModel::~PublishMediaModel() = default;

int PublishMediaModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(order_.size());
}

int PublishMediaModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kMediaColumnCount;
}

QVariant PublishMediaModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    if (role == Qt::TextAlignmentRole) {
        return index.column() == kColumnSize ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                                             : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) {
        return {};
    }
    const MediaRecord& record = LineRecord(index.row());
    if (role == Qt::ToolTipRole && record.state < 0 && failure_reason_) {
        std::string reason = failure_reason_(record.local_path);
        if (!reason.empty()) {
            return StateColumnText(record.state, std::nullopt) + QStringLiteral(": ") +
                   QString::fromStdString(reason);
        }
    }
    switch (index.column()) {
        case kColumnName:
            return QString::fromStdString(record.name);
        case kColumnSize:
            return MediaSizeText(record.file_size);
        case kColumnState: {
            const auto progress = progress_.find(order_[static_cast<std::size_t>(index.row())]);
            return StateColumnText(record.state, progress == progress_.end()
                                                     ? std::nullopt
                                                     : std::optional<int>(progress->second));
        }
        case kColumnFileDate:
            return QString::fromStdString(record.file_date);
        case kColumnPublishDate:
            return QString::fromStdString(record.publish_date);
        default:
            return {};
    }
}

QVariant PublishMediaModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kMediaColumnCount) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    if (role == Qt::DisplayRole) {
        return tr(kColumnTitles[section]);
    }
    if (role == Qt::TextAlignmentRole) {
        return section == kColumnSize ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                                      : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    }
    return {};
}

void PublishMediaModel::SetSource(std::unique_ptr<MediaListSource> source) {
    beginResetModel();
    source_ = std::move(source);
    changed_.clear();
    progress_.clear();
    ReplaceOrder(source_->Order(-1, true));
    endResetModel();
}

void PublishMediaModel::Reset(std::vector<MediaRecord> records) {
    SetSource(std::make_unique<RecordListSource>(std::move(records)));
}

void PublishMediaModel::Clear() {
    Reset({});
}

void PublishMediaModel::ReplaceOrder(std::vector<MediaRowId> order) {
    order_ = std::move(order);
    position_.clear();
    pages_.clear();
}

const MediaRecord& PublishMediaModel::LineRecord(int row) const {
    const int page = row / kPageRows;
    auto found = pages_.find(page);
    if (found == pages_.end()) {
        if (pages_.size() >= kPagesKept) {
            pages_.clear();
        }
        const std::size_t first = static_cast<std::size_t>(page) * kPageRows;
        const std::size_t count = std::min<std::size_t>(kPageRows, order_.size() - first);
        const std::span<const MediaRowId> ids(order_.data() + first, count);
        std::vector<MediaRecord> lines(count);
        std::size_t line = 0;
        for (auto& [id, record] : source_->Read(ids)) {
            while (line < count && ids[line] != id) {
                ++line;  // a row gone from the source stays an empty line
            }
            if (line < count) {
                lines[line++] = std::move(record);
            }
        }
        for (std::size_t at = 0; at < count; ++at) {
            if (auto change = changed_.find(ids[at]); change != changed_.end()) {
                lines[at] = change->second;
            }
        }
        found = pages_.emplace(page, std::move(lines)).first;
    }
    return found->second[static_cast<std::size_t>(row % kPageRows)];
}

MediaRecord PublishMediaModel::Record(int row) const {
    return LineRecord(row);
}

int PublishMediaModel::PositionOf(MediaRowId id) const {
    if (position_.empty() && !order_.empty()) {
        position_.reserve(order_.size());
        for (std::size_t line = 0; line < order_.size(); ++line) {
            position_.emplace(order_[line], static_cast<int>(line));
        }
    }
    auto found = position_.find(id);
    return found == position_.end() ? -1 : found->second;
}

int PublishMediaModel::RowOf(const std::string& local_path) const {
    const std::optional<MediaRowId> id = source_->IdOf(local_path);
    return id ? PositionOf(*id) : -1;
}

void PublishMediaModel::StoreLine(int row, const MediaRecord& record) {
    const MediaRowId id = order_[static_cast<std::size_t>(row)];
    changed_[id] = record;
    if (auto page = pages_.find(row / kPageRows); page != pages_.end()) {
        page->second[static_cast<std::size_t>(row % kPageRows)] = record;
    }
    if (record.state != host::kPublishing) {
        progress_.erase(id);
    }
    source_->Remember(id, record);
    RedrawRow(row);
}

int PublishMediaModel::ApplyUpdate(const MediaRecord& update) {
    int row = RowOf(update.local_path);
    if (row < 0) {
        return -1;
    }
    MediaRecord record = Record(row);
    record.state = update.state;
    record.cid = update.cid;
    record.url = update.url;
    record.sts_path = update.sts_path;
    record.file_date = update.file_date;
    record.publish_date = update.publish_date;
    StoreLine(row, record);
    return row;
}

void PublishMediaModel::SetState(int row, int state) {
    MediaRecord record = Record(row);
    record.state = state;
    StoreLine(row, record);
    progress_.erase(order_[static_cast<std::size_t>(row)]);
}

void PublishMediaModel::SetProgress(int row, std::optional<int> percent) {
    const MediaRowId id = order_[static_cast<std::size_t>(row)];
    auto shown = progress_.find(id);
    if ((shown == progress_.end() && !percent) ||
        (shown != progress_.end() && percent && shown->second == *percent)) {
        return;
    }
    if (percent) {
        progress_[id] = *percent;
    } else {
        progress_.erase(shown);
    }
    QModelIndex cell = index(row, kColumnState);
    emit dataChanged(cell, cell, {Qt::DisplayRole});
}

std::vector<int> PublishMediaModel::RowsInState(int state) const {
    std::vector<int> rows;
    for (const MediaRowId id : source_->IdsInState(state)) {
        const int row = changed_.contains(id) ? -1 : PositionOf(id);
        if (row >= 0) {
            rows.push_back(row);
        }
    }
    for (const auto& [id, record] : changed_) {
        const int row = record.state == state ? PositionOf(id) : -1;
        if (row >= 0) {
            rows.push_back(row);
        }
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

void PublishMediaModel::SortRows(int column, bool ascending) {
    std::vector<MediaRowId> order = source_->Order(column, ascending);
    if (order.size() != order_.size()) {
        // Rows came or went since the listing: list what the source holds now.
        beginResetModel();
        ReplaceOrder(std::move(order));
        endResetModel();
        return;
    }
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    // Selections and the current line follow their records.
    const QModelIndexList before = persistentIndexList();
    std::vector<MediaRowId> ids;
    ids.reserve(static_cast<std::size_t>(before.size()));
    for (const QModelIndex& index : before) {
        ids.push_back(order_[static_cast<std::size_t>(index.row())]);
    }
    ReplaceOrder(std::move(order));
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype i = 0; i < before.size(); ++i) {
        const int row = PositionOf(ids[static_cast<std::size_t>(i)]);
        after.append(row < 0 ? QModelIndex() : this->index(row, before[i].column()));
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void PublishMediaModel::RedrawRow(int row) {
    emit dataChanged(index(row, 0), index(row, kMediaColumnCount - 1), {Qt::DisplayRole});
}

// ---- MediaSortProxy ----

MediaSortProxy::MediaSortProxy(QObject* parent) : QIdentityProxyModel(parent) {}

void MediaSortProxy::SortByColumnClick(int column) {
    if (column == sorted_column_) {
        ascending_ = !ascending_;
    } else {
        sorted_column_ = column;
        ascending_ = true;
    }
    if (auto* model = qobject_cast<PublishMediaModel*>(sourceModel())) {
        model->SortRows(sorted_column_, ascending_);
    }
}

void MediaSortProxy::ClearSort() {
    sorted_column_ = -1;
    ascending_ = true;
}

}  // namespace wharfkeep::ui
