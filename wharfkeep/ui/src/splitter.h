#pragma once
// CPWTSplitterWnd: the main window's two-column splitter. Its divider moves only to
// positions more than 119 pixels from the left edge that leave more than 499 pixels to the
// right of it; a drag to any other position is refused (the divider stays where it was).

#include <QSplitter>

namespace wharfkeep::ui {

class CPWTSplitterWnd : public QSplitter {
    Q_OBJECT
public:
    explicit CPWTSplitterWnd(QWidget* parent = nullptr);

    // The rule for a divider at `position` (its left edge, from the splitter's left edge) in a
    // splitter `width` pixels wide with a divider `handle` pixels wide.
    static bool DividerAllowed(int position, int width, int handle);
    // Moves the divider when the rule allows it; false (and nothing moved) otherwise.
    bool TryMoveDivider(int position);
    int DividerPosition() const;

protected:
    QSplitterHandle* createHandle() override;
};

}  // namespace wharfkeep::ui
