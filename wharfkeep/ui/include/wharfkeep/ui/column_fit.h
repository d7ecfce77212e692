#pragma once
// Column widths of the window's lists, worked out from what they show: each column's need is
// the larger of its header's and its lines' size hints, so that neither a translated header
// nor a long value is cut.

class QTableView;

namespace wharfkeep::ui {

// Widens each column to its need, never narrowing one (a designed width, or what the
// operator dragged it to, stays); a list wider than the page scrolls sideways.
void FitColumns(QTableView& view);

// Sizes each column but `filling` to its need; `filling` (a column index) stretches over
// the width the others leave, at any size of the view, so that a page at 800x600 shows
// every column without a sideways scroll (a longer text there is elided).
void SizeColumnsToContent(QTableView& view, int filling);

}  // namespace wharfkeep::ui
