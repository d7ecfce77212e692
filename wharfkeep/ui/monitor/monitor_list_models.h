#pragma once
// The two lists of the connection monitor: one model per list holding the lines as texts
// (a line is rebuilt from scratch on each refresh), and a proxy that sorts a list by the
// comparison rule of each column.

#include <QAbstractTableModel>
#include <QSortFilterProxyModel>
#include <QStringList>

#include <vector>

#include "wharfkeep/database/resource_database.h"
#include "wharfkeep/host/services.h"

namespace wharfkeep::ui::monitor {

// How a column's texts compare.
enum class CompareRule { TextNoCase, Decimal, Size, Speed, Address, Duration };

// The columns of a list: header and comparison rule. Their widths follow what they show.
struct ColumnLayout {
    QString header;
    CompareRule rule;
};

// A table of text lines with fixed columns.
class TextLineModel : public QAbstractTableModel {
    Q_OBJECT
public:
    TextLineModel(std::vector<ColumnLayout> columns, QObject* parent);

    // Replaces every line at once.
    void SetLines(std::vector<QStringList> lines);
    const std::vector<QStringList>& Lines() const { return lines_; }
    const std::vector<ColumnLayout>& Columns() const { return columns_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::vector<ColumnLayout> columns_;
    std::vector<QStringList> lines_;
};

// The resource list (1012): one line per GCID peerfeed is serving.
class ResourceListModel : public TextLineModel {
    Q_OBJECT
public:
    enum Column { Name, Size, UploadSpeed, Connections, Uploaded, PublishDate, Gcid, ColumnCount };
    explicit ResourceListModel(QObject* parent = nullptr);

    // The line of a statistics entry; `media` is the first database row with its GCID, or
    // null when the database has none (empty name and date, size 0).
    static QStringList Line(const host::ResourceActivity& entry, const MediaRecord* media);
};

// The connection list (1013): one line per peer connection of the picked resource.
class ConnectionListModel : public TextLineModel {
    Q_OBJECT
public:
    enum Column { PeerId, Address, ReceiveSpeed, Received, Duration, ColumnCount };
    explicit ConnectionListModel(QObject* parent = nullptr);

    static QStringList Line(const host::PeerConnection& entry);
};

// Sorts a TextLineModel by the rule of the sorted column.
class MonitorSortProxy : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit MonitorSortProxy(TextLineModel& source, QObject* parent = nullptr);

    // Negative, zero or positive as `a` orders before, with or after `b` in the column.
    static int Compare(CompareRule rule, const QString& a, const QString& b);

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    TextLineModel& source_;
};

}  // namespace wharfkeep::ui::monitor
