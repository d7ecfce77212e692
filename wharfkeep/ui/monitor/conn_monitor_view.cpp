#include "conn_monitor_view.h"

#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QResizeEvent>
#include <QTableView>

#include <algorithm>
#include <memory>

#include "monitor_ids.h"
#include "monitor_texts.h"
#include "wharfkeep/host/server_host.h"
#include "wharfkeep/ui/column_fit.h"
#include "wharfkeep/ui/ui_ids.h"

namespace wharfkeep::ui {
namespace {

// The long texts of each list: the widest takes what the other columns leave; in the
// resource list the GCID gets what the file name leaves.
constexpr int kResourceFilling = monitor::ResourceListModel::Name;
constexpr int kResourceYielding = monitor::ResourceListModel::Gcid;
constexpr int kConnectionFilling = monitor::ConnectionListModel::PeerId;
constexpr int kNoYielding = -1;

// The list's columns are as wide as their headers and lines, worked out again whenever the
// lines are replaced; `filling` (and `yielding`) take what the others leave, so that the
// page shows every column without a sideways scroll, long texts elided in the middle.
QTableView* MakeList(QWidget* parent, int id, QAbstractItemModel& model, int filling,
                     int yielding) {
    auto* view = new QTableView(parent);
    view->setObjectName(ObjectId(id));
    view->setModel(&model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setShowGrid(true);
    view->setWordWrap(false);
    view->setTextElideMode(Qt::ElideMiddle);
    view->verticalHeader()->hide();
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    view->horizontalHeader()->setHighlightSections(false);
    view->horizontalHeader()->setSectionsClickable(true);
    view->horizontalHeader()->setStretchLastSection(false);
    SizeColumnsToContent(*view, filling, yielding);
    QObject::connect(&model, &QAbstractItemModel::modelReset, view,
                     [view, filling, yielding] { SizeColumnsToContent(*view, filling, yielding); });
    return view;
}

// Redrawing stays off while a list is rebuilt and comes back on every way out.
class RedrawOff {
public:
    explicit RedrawOff(QWidget& widget) : widget_(widget) { widget_.setUpdatesEnabled(false); }
    ~RedrawOff() { widget_.setUpdatesEnabled(true); }
    RedrawOff(const RedrawOff&) = delete;
    RedrawOff& operator=(const RedrawOff&) = delete;

private:
    QWidget& widget_;
};

}  // namespace

CPWTConnMonitorFormView::CPWTConnMonitorFormView(const PageContext& context, QWidget* parent)
    : CPWTPage(context, parent), resource_order_(resources_), connection_order_(connections_) {
    setObjectName(ObjectId(ids::kConnectionMonitorPage));
    resource_view_ =
        MakeList(this, ids::kListResources, resource_order_, kResourceFilling, kResourceYielding);
    connection_view_ =
        MakeList(this, ids::kListConnections, connection_order_, kConnectionFilling, kNoYielding);

    resource_menu_ = new QMenu(this);
    resource_menu_->setObjectName(ObjectId(ids::kMenuResource));
    QAction* withdraw = resource_menu_->addAction(tr("取消发布"));
    withdraw->setObjectName(ObjectId(ids::kCmdWithdrawResource));
    connect(withdraw, &QAction::triggered, this, [this] { WithdrawSelected(); });

    resource_view_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(resource_view_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& position) { ShowResourceMenu(position); });
    connect(resource_view_, &QAbstractItemView::clicked, this,
            [this](const QModelIndex& index) { PickResource(index.row()); });
    connect(resource_view_, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex& index) { LocateResource(index.row()); });
    connect(resource_view_->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { SortResources(column); });
    connect(connection_view_->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { SortConnections(column); });

    timer_.setObjectName(ObjectId(ids::kTimerConnMonitor));
    timer_.setInterval(kRefreshMs);
    connect(&timer_, &QTimer::timeout, this, [this] {
        RefreshResourceList();
        RefreshConnectionList();
    });
    LayOut();
}

CPWTConnMonitorFormView::~CPWTConnMonitorFormView() = default;

void CPWTConnMonitorFormView::OnPageShown() {
    RefreshResourceList();
    RefreshConnectionList();
    if (!timer_.isActive()) {
        timer_.start();
    }
}

void CPWTConnMonitorFormView::OnPageHidden() {
    timer_.stop();
}

std::vector<ScreenshotDialog> CPWTConnMonitorFormView::ScreenshotDialogs() {
    const PageContext context = Context();
    const QSize size =
        this->size().isValid() && !this->size().isEmpty() ? this->size() : QSize(660, 560);
    auto make = [context, size](QWidget*) -> std::unique_ptr<QWidget> {
        auto page = std::make_unique<CPWTConnMonitorFormView>(context, nullptr);
        page->setWindowTitle(tr("连接监控"));
        page->resize(size);
        page->OnPageShown();
        page->PickResource(0);
        return page;
    };
    return {ScreenshotDialog{QStringLiteral("page-monitor-peers.png"), make}};
}

void CPWTConnMonitorFormView::RefreshResourceList() {
    RedrawOff redraw_off(*resource_view_);
    std::vector<QStringList> lines;
    for (const host::ResourceActivity& entry : Host().Document().Servers().Resources()) {
        const std::vector<MediaRecord> rows = Host().Library().MediaByCid(entry.gcid);
        lines.push_back(
            monitor::ResourceListModel::Line(entry, rows.empty() ? nullptr : &rows.front()));
    }
    resources_.SetLines(std::move(lines));
    ResortIfSet(resource_sort_, resource_order_);
    SelectPickedResource();
}

void CPWTConnMonitorFormView::RefreshConnectionList() {
    RedrawOff redraw_off(*connection_view_);
    std::vector<QStringList> lines;
    for (const host::PeerConnection& entry :
         Host().Document().Servers().Connections(picked_gcid_)) {
        lines.push_back(monitor::ConnectionListModel::Line(entry));
    }
    connections_.SetLines(std::move(lines));
    ResortIfSet(connection_sort_, connection_order_);
}

std::string CPWTConnMonitorFormView::GcidOfViewRow(int view_row) const {
    const QModelIndex index = resource_order_.index(view_row, monitor::ResourceListModel::Gcid);
    return index.isValid() ? index.data().toString().toStdString() : std::string();
}

void CPWTConnMonitorFormView::PickResource(int view_row) {
    if (view_row < 0 || view_row >= resource_order_.rowCount()) {
        return;
    }
    picked_gcid_ = GcidOfViewRow(view_row);
    RefreshConnectionList();
}

void CPWTConnMonitorFormView::LocateResource(int view_row) {
    if (view_row < 0 || view_row >= resource_order_.rowCount()) {
        return;
    }
    picked_gcid_ = GcidOfViewRow(view_row);
    RefreshConnectionList();
    MainWindow().post(host::AppMessage::WM_APP_LOCATE_MEDIA, 0,
                      host::AppPayload::Text(picked_gcid_));
}

void CPWTConnMonitorFormView::WithdrawSelected() {
    const QModelIndexList selected = resource_view_->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        return;
    }
    const std::string gcid = GcidOfViewRow(selected.front().row());
    if (!gcid.empty()) {
        Host().Directories().WithdrawByGcid(gcid);
    }
}

void CPWTConnMonitorFormView::ShowResourceMenu(const QPoint& position) {
    const QModelIndex index = resource_view_->indexAt(position);
    if (!index.isValid()) {
        return;  // the menu belongs to a line
    }
    resource_view_->selectRow(index.row());
    resource_menu_->exec(resource_view_->viewport()->mapToGlobal(position));
}

void CPWTConnMonitorFormView::SortResources(int column) {
    SortBy(resource_sort_, resource_order_, *resource_view_, column);
}

void CPWTConnMonitorFormView::SortConnections(int column) {
    SortBy(connection_sort_, connection_order_, *connection_view_, column);
}

void CPWTConnMonitorFormView::SortBy(SortState& state, monitor::MonitorSortProxy& proxy,
                                     QTableView& view, int column) {
    if (column < 0 || column >= proxy.columnCount() ||
        column >= static_cast<int>(state.negated.size())) {
        return;
    }
    // The flag starts cleared, so the first click sorts in the negated order.
    state.negated[static_cast<std::size_t>(column)] =
        !state.negated[static_cast<std::size_t>(column)];
    state.column = column;
    RedrawOff redraw_off(view);
    ResortIfSet(state, proxy);
    view.horizontalHeader()->setSortIndicatorShown(true);
    view.horizontalHeader()->setSortIndicator(
        column,
        state.negated[static_cast<std::size_t>(column)] ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void CPWTConnMonitorFormView::ResortIfSet(const SortState& state,
                                          monitor::MonitorSortProxy& proxy) {
    if (state.column < 0) {
        return;
    }
    const bool negated = state.negated[static_cast<std::size_t>(state.column)];
    proxy.sort(state.column, negated ? Qt::DescendingOrder : Qt::AscendingOrder);
}

// The picked resource stays highlighted across the rebuilds of the list.
void CPWTConnMonitorFormView::SelectPickedResource() {
    if (picked_gcid_.empty()) {
        return;
    }
    for (int row = 0; row < resource_order_.rowCount(); ++row) {
        if (GcidOfViewRow(row) == picked_gcid_) {
            resource_view_->selectRow(row);
            return;
        }
    }
}

void CPWTConnMonitorFormView::resizeEvent(QResizeEvent* event) {
    CPWTPage::resizeEvent(event);
    LayOut();
}

void CPWTConnMonitorFormView::LayOut() {
    const int width = std::max(0, this->width() - 15);
    const int height = std::max(0, this->height() / 2 - 10);
    resource_view_->setGeometry(10, 10, width, height);
    connection_view_->setGeometry(10, this->height() / 2 + 10, width, height);
}

}  // namespace wharfkeep::ui
