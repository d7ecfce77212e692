#include "media_list_model.h"

#include <algorithm>
#include <cstdio>

#include "wharfkeep/host/media_state.h"
#include "wharfkeep/host/server_host.h"

namespace wharfkeep::ui {

namespace {

constexpr double kBytesPerMegabyte = 1048576.0;

const char* const kColumnTitles[kMediaColumnCount] = {"文件名", "文件大小", "发布状态", "修改日期",
                                                      "发布日期"};

template <typename T>
int ThreeWay(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// A record's place in a sort by one column, as far as 64 bits tell: when two heads differ
// they order the records as CompareMedia does; when they are equal the records decide.
struct SortKey {
    std::uint64_t head;
    int row;
};

// The first eight bytes of a text, as unsigned bytes, most significant first (a shorter
// text is padded with zero bytes, so it never sorts after a longer one it begins).
std::uint64_t TextHead(const std::string& text) {
    std::uint64_t head = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        head = head << 8 | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
    }
    return head;
}

// A signed number moved into the unsigned range without changing its order.
std::uint64_t NumberHead(std::int64_t value) {
    return static_cast<std::uint64_t>(value) ^ (std::uint64_t{1} << 63);
}

}  // namespace

QString SizeText(std::int64_t bytes) {
    double megabytes = static_cast<double>(bytes) / kBytesPerMegabyte;
    double gigabytes = megabytes / 1024.0;
    char text[64];
    if (gigabytes > 1.0) {
        std::snprintf(text, sizeof text, "%.2f GB", gigabytes);
    } else {
        std::snprintf(text, sizeof text, "%d MB", static_cast<int>(megabytes));
    }
    return QString::fromLatin1(text);
}

QString StateColumnText(int state, std::optional<int> progress) {
    QString text = QString::fromStdString(host::StateText(state));
    if (state == host::kPublishing && progress) {
        text += QStringLiteral(" %1%").arg(*progress);
    }
    return text;
}

namespace {

std::uint64_t SortHead(const MediaRecord& record, int column) {
    switch (column) {
        case kColumnName:
            return TextHead(record.name);
        case kColumnSize:
            return NumberHead(record.file_size);
        case kColumnState:
            return NumberHead(record.state);
        case kColumnFileDate:
            return TextHead(record.file_date);
        case kColumnPublishDate:
            return TextHead(record.publish_date);
        default:
            return 0;
    }
}

}  // namespace

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

PublishMediaModel::PublishMediaModel(QObject* parent) : QAbstractTableModel(parent) {}

PublishMediaModel::~PublishMediaModel() = default;

int PublishMediaModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(records_.size());
}

int PublishMediaModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kMediaColumnCount;
}

QVariant PublishMediaModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const MediaRecord& record = Record(index.row());
    if (role == Qt::TextAlignmentRole) {
        return index.column() == kColumnSize ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                                             : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) {
        return {};
    }
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
            return SizeText(record.file_size);
        case kColumnState:
            return StateColumnText(record.state, progress_[static_cast<std::size_t>(index.row())]);
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
        return QString::fromUtf8(kColumnTitles[section]);
    }
    if (role == Qt::TextAlignmentRole) {
        return section == kColumnSize ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                                      : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    }
    return {};
}

void PublishMediaModel::Reset(std::vector<MediaRecord> records) {
    beginResetModel();
    for (MediaRecord& record : records) {
        if (record.name.empty()) {
            record.name = display_name_of(record.local_path);
        }
    }
    records_ = std::move(records);
    progress_.assign(records_.size(), std::nullopt);
    endResetModel();
}

void PublishMediaModel::Clear() {
    Reset({});
}

int PublishMediaModel::RowOf(const std::string& local_path) const {
    for (std::size_t row = 0; row < records_.size(); ++row) {
        if (records_[row].local_path == local_path) {
            return static_cast<int>(row);
        }
    }
    return -1;
}

int PublishMediaModel::ApplyUpdate(const MediaRecord& update) {
    int row = RowOf(update.local_path);
    if (row < 0) {
        return -1;
    }
    MediaRecord& record = records_[static_cast<std::size_t>(row)];
    record.state = update.state;
    record.cid = update.cid;
    record.url = update.url;
    record.sts_path = update.sts_path;
    record.file_date = update.file_date;
    record.publish_date = update.publish_date;
    if (record.state != host::kPublishing) {
        progress_[static_cast<std::size_t>(row)].reset();
    }
    RedrawRow(row);
    return row;
}

void PublishMediaModel::SetState(int row, int state) {
    records_[static_cast<std::size_t>(row)].state = state;
    progress_[static_cast<std::size_t>(row)].reset();
    RedrawRow(row);
}

void PublishMediaModel::SetProgress(int row, std::optional<int> percent) {
    std::optional<int>& shown = progress_[static_cast<std::size_t>(row)];
    if (shown == percent) {
        return;
    }
    shown = percent;
    QModelIndex cell = index(row, kColumnState);
    emit dataChanged(cell, cell, {Qt::DisplayRole});
}

std::vector<int> PublishMediaModel::RowsInState(int state) const {
    std::vector<int> rows;
    for (std::size_t row = 0; row < records_.size(); ++row) {
        if (records_[row].state == state) {
            rows.push_back(static_cast<int>(row));
        }
    }
    return rows;
}

void PublishMediaModel::SortRows(int column, bool ascending) {
    const std::size_t count = records_.size();
    // Sorted as small keys that decide most comparisons without reaching the records.
    std::vector<SortKey> keys(count);
    for (std::size_t row = 0; row < count; ++row) {
        keys[row] = {SortHead(records_[row], column), static_cast<int>(row)};
    }
    std::sort(keys.begin(), keys.end(), [&](const SortKey& a, const SortKey& b) {
        if (a.head != b.head) {
            return ascending ? a.head < b.head : a.head > b.head;
        }
        const MediaRecord& first = records_[static_cast<std::size_t>(a.row)];
        const MediaRecord& second = records_[static_cast<std::size_t>(b.row)];
        int comparison = CompareMedia(first, second, column);
        if (comparison == 0) {
            comparison = ThreeWay(first.local_path, second.local_path);
        }
        return ascending ? comparison < 0 : comparison > 0;
    });
    std::vector<int> order(count);  // new row -> old row
    for (std::size_t row = 0; row < count; ++row) {
        order[row] = keys[row].row;
    }

    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<MediaRecord> records(count);
    std::vector<std::optional<int>> progress(count);
    std::vector<int> new_row_of(count);
    for (std::size_t row = 0; row < count; ++row) {
        const auto old_row = static_cast<std::size_t>(order[row]);
        records[row] = std::move(records_[old_row]);
        progress[row] = progress_[old_row];
        new_row_of[old_row] = static_cast<int>(row);
    }
    records_ = std::move(records);
    progress_ = std::move(progress);
    // Selections and the current line follow their records.
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& index : before) {
        after.append(
            this->index(new_row_of[static_cast<std::size_t>(index.row())], index.column()));
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
