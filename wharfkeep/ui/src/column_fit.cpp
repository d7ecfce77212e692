#include "wharfkeep/ui/column_fit.h"

#include <QEvent>
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

// Gives a view's yielding column, at each resize of the view, what the fixed columns and
// the filling column's need leave, between its header's width and its own need: the filling
// column's text is the one shown whole first.
class YieldingColumn : public QObject {
public:
    static constexpr const char* kName = "yielding-column";

    YieldingColumn(QTableView& view, int filling, int yielding)
        : QObject(&view), view_(view), filling_(filling), yielding_(yielding) {
        setObjectName(QString::fromLatin1(kName));
        view.viewport()->installEventFilter(this);
    }

    void Fit() {
        QHeaderView* header = view_.horizontalHeader();
        int fixed = 0;
        for (int column = 0; column < header->count(); ++column) {
            if (column != filling_ && column != yielding_) {
                fixed += header->sectionSize(column);
            }
        }
        const int room = view_.viewport()->width() - fixed - NeededWidth(view_, filling_);
        header->resizeSection(yielding_, std::clamp(room, header->sectionSizeHint(yielding_),
                                                    NeededWidth(view_, yielding_)));
    }

    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Resize) {
            Fit();
        }
        return false;
    }

private:
    QTableView& view_;
    int filling_;
    int yielding_;
};

}  // namespace

void SizeColumnsToContent(QTableView& view, int filling, int yielding) {
    QHeaderView* header = view.horizontalHeader();
    for (int column = 0; column < header->count(); ++column) {
        if (column == filling) {
            // The header gives it what the others leave, at every size of the page.
            header->setSectionResizeMode(column, QHeaderView::Stretch);
        } else if (column != yielding) {
            header->resizeSection(column, NeededWidth(view, column));
        }
    }
    if (yielding < 0) {
        return;
    }
    auto* keeper = view.findChild<YieldingColumn*>(QString::fromLatin1(YieldingColumn::kName),
                                                   Qt::FindDirectChildrenOnly);
    if (keeper == nullptr) {
        keeper = new YieldingColumn(view, filling, yielding);
    }
    keeper->Fit();
}

}  // namespace wharfkeep::ui
