#include "wharfkeep/ui/column_fit.h"

#include <QHeaderView>
#include <QTableView>

#include <algorithm>

namespace wharfkeep::ui {

namespace {

int NeededWidth(const QTableView& view, int column) {
    // QTableView keeps its override protected; the base class's is public and virtual.
    const QAbstractItemView& lines = view;
    return std::max(view.horizontalHeader()->sectionSizeHint(column),
                    lines.sizeHintForColumn(column));
}

}  // namespace

void FitColumns(QTableView& view) {
    QHeaderView* header = view.horizontalHeader();
    for (int column = 0; column < header->count(); ++column) {
        const int needed = NeededWidth(view, column);
        if (header->sectionSize(column) < needed) {
            header->resizeSection(column, needed);
        }
    }
}

void SizeColumnsToContent(QTableView& view, int filling) {
    QHeaderView* header = view.horizontalHeader();
    for (int column = 0; column < header->count(); ++column) {
        if (column == filling) {
            // The header gives it what the others leave, at every size of the page.
            header->setSectionResizeMode(column, QHeaderView::Stretch);
        } else {
            header->resizeSection(column, NeededWidth(view, column));
        }
    }
}

}  // namespace wharfkeep::ui
