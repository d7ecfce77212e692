#pragma once
// The publish page's media list: one model over the directory's rows (the ids of every
// line, the records of the lines shown), and a proxy through which the page's header
// sorts it by column.
//
// Threading: user-interface thread only.

#include <QAbstractTableModel>
#include <QIdentityProxyModel>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "media_list_source.h"
#include "wharfkeep/database/resource_database.h"

namespace wharfkeep::ui {

// The columns of the list, in display order.
enum MediaColumnIndex : int {
    kColumnName = 0,
    kColumnSize,
    kColumnState,
    kColumnFileDate,
    kColumnPublishDate,
    kMediaColumnCount
};

// Pixel widths of the five columns.
inline constexpr int kMediaColumnWidths[kMediaColumnCount] = {180, 90, 90, 130, 130};

// "%.2f GB" above one gigabyte, else "%d MB" with the megabytes rounded toward zero.
QString MediaSizeText(std::int64_t bytes);

// The state column: the state's text; a file being published adds its percentage.
QString StateColumnText(int state, std::optional<int> progress);

// The list's lines: the ids of the listed rows in display order, and the records of the
// lines read so far, a page at a time as the view asks for them (a bounded number of
// pages is kept). Changes the host reports for a line are kept by the model over what
// its source holds, so a line shows its last reported state wherever it is scrolled to.
class PublishMediaModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit PublishMediaModel(QObject* parent = nullptr);
    ~PublishMediaModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Lists the source's rows in its own order, replacing every line.
    void SetSource(std::unique_ptr<MediaListSource> source);
    // Replaces every line with these records, in this order.
    void Reset(std::vector<MediaRecord> records);
    void Clear();

    // A copy of a line's record.
    MediaRecord Record(int row) const;
    // The first line whose LocalPath equals `local_path`, or -1.
    int RowOf(const std::string& local_path) const;

    // Copies the changed fields of `update` (state, CID, URL, STS path, both dates; the
    // size stays the line's own) into the first line with the same LocalPath. Returns its
    // row, or -1 when no line has that path.
    int ApplyUpdate(const MediaRecord& update);
    // Sets a line's state and redraws it.
    void SetState(int row, int state);
    // The percentage shown after "正在发布" for a line being published; nullopt removes it.
    void SetProgress(int row, std::optional<int> percent);
    // Rows whose state is `state` (in model order).
    std::vector<int> RowsInState(int state) const;
    // Puts the lines in the order of `column` (CompareMedia, ties by LocalPath), ascending
    // or descending, in one layout change that keeps selections on their records. The
    // order is the source's: rows it no longer lists leave the list.
    void SortRows(int column, bool ascending);
    // Where the tooltip of a failed line finds why it failed (by LocalPath); without a
    // source, or with an empty reason, the tooltip is the cell's text.
    void SetFailureReasonSource(std::function<std::string(const std::string&)> source) {
        failure_reason_ = std::move(source);
    }

private:
    // The line's record, its page read when needed; valid until the next call.
    const MediaRecord& LineRecord(int row) const;
    // The line of a row id, or -1 when it is not listed.
    int PositionOf(MediaRowId id) const;
    // Keeps a line's changed record over its source's.
    void StoreLine(int row, const MediaRecord& record);
    void ReplaceOrder(std::vector<MediaRowId> order);
    void RedrawRow(int row);

    std::unique_ptr<MediaListSource> source_;
    std::vector<MediaRowId> order_;                         // line -> row id
    mutable std::unordered_map<MediaRowId, int> position_;  // row id -> line, built on demand
    // Pages of kPageRows lines read from the source; a row gone from it reads as empty.
    mutable std::unordered_map<int, std::vector<MediaRecord>> pages_;
    std::unordered_map<MediaRowId, MediaRecord> changed_;
    std::unordered_map<MediaRowId, int> progress_;
    std::function<std::string(const std::string&)> failure_reason_;
};

// The header's sorting rule over the page's model. Names and the two dates compare as
// exact (case-sensitive) text, size and state numerically; ties are broken by LocalPath,
// so that the order is total: sorting the other way round gives exactly the reverse, and
// sorting again gives the same order. The model itself is reordered by its source (the
// database reads a hundred thousand ids in order from an index); the proxy stays so that
// the page's code maps lines to rows in one place.
class MediaSortProxy : public QIdentityProxyModel {
    Q_OBJECT
public:
    explicit MediaSortProxy(QObject* parent = nullptr);

    // The header's rule: the same column again flips the direction, a new column starts
    // ascending.
    void SortByColumnClick(int column);
    // Forgets the sort column: a new listing starts in the order the database returned it.
    void ClearSort();
    int SortedColumn() const { return sorted_column_; }
    bool Ascending() const { return ascending_; }

private:
    int sorted_column_ = -1;
    bool ascending_ = true;
};

// The three-way comparison of two records for a column: negative, zero or positive.
int CompareMedia(const MediaRecord& first, const MediaRecord& second, int column);

}  // namespace wharfkeep::ui
