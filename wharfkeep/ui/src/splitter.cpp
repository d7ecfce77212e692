#include "splitter.h"

#include <QMouseEvent>
#include <QSplitterHandle>

namespace wharfkeep::ui {
namespace {

constexpr int kMinLeft = 120;   // more than 119 pixels from the left edge
constexpr int kMinRight = 500;  // more than 499 pixels to the right of the divider

// A divider handle that asks the splitter's rule before every move.
class RuledHandle : public QSplitterHandle {
public:
    RuledHandle(Qt::Orientation orientation, CPWTSplitterWnd* parent)
        : QSplitterHandle(orientation, parent), owner_(parent) {}

protected:
    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) {
            grab_offset_ = event->position().toPoint().x();
            dragging_ = true;
        }
    }
    void mouseMoveEvent(QMouseEvent* event) override {
        if (!dragging_ || !(event->buttons() & Qt::LeftButton)) {
            return;
        }
        int position = mapToParent(event->position().toPoint()).x() - grab_offset_;
        owner_->TryMoveDivider(position);
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton) {
            dragging_ = false;
        }
    }

private:
    CPWTSplitterWnd* owner_;
    int grab_offset_ = 0;
    bool dragging_ = false;
};

}  // namespace

CPWTSplitterWnd::CPWTSplitterWnd(QWidget* parent) : QSplitter(Qt::Horizontal, parent) {
    setChildrenCollapsible(false);
    setOpaqueResize(true);
}

bool CPWTSplitterWnd::DividerAllowed(int position, int width, int handle) {
    return position >= kMinLeft && width - position - handle >= kMinRight;
}

bool CPWTSplitterWnd::TryMoveDivider(int position) {
    if (!DividerAllowed(position, width(), handleWidth())) {
        return false;
    }
    moveSplitter(position, 1);
    return true;
}

int CPWTSplitterWnd::DividerPosition() const {
    return count() > 1 ? handle(1)->geometry().left() : 0;
}

QSplitterHandle* CPWTSplitterWnd::createHandle() {
    return new RuledHandle(orientation(), this);
}

}  // namespace wharfkeep::ui
