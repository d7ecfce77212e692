#pragma once
// Column widths of the window's lists, worked out from what they show: each column's need is
// the larger of its header's and its lines' size hints, so that neither a translated header
// nor a long value is cut.

class QTableView;

namespace wharfkeep::ui {

// Sizes each column but `filling` to its need; `filling` (a column index) stretches over
// the width the others leave, at any size of the view, so that a page at 800x600 shows
// every column without a sideways scroll (a longer text there is elided).
// A list with more columns than fit names a second long text column `yielding` (an index,
// or -1 for none): it gets what the filling column's need leaves, down to its header's
// width, again at each resize of the view; past that the filling column narrows too.
void SizeColumnsToContent(QTableView& view, int filling, int yielding = -1);

}  // namespace wharfkeep::ui
