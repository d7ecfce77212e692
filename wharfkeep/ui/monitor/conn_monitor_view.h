#pragma once
// CPWTConnMonitorFormView, the connection monitor page (dialog 311): the resources peerfeed
// is serving (upper list, 1012) and the peer connections of the resource the operator picked
// (lower list, 1013), rebuilt every five seconds while the page is shown.

#include <QTimer>

#include <array>
#include <string>

#include "monitor_list_models.h"
#include "wharfkeep/ui/page.h"

class QTableView;
class QMenu;

namespace wharfkeep::ui {

class CPWTConnMonitorFormView : public CPWTPage {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 5000;

    CPWTConnMonitorFormView(const PageContext& context, QWidget* parent = nullptr);
    ~CPWTConnMonitorFormView() override;

    void OnPageShown() override;
    void OnPageHidden() override;
    // Besides the page as shown: a second monitor page with the first resource picked, so
    // that the tour also shows the peers of a file.
    std::vector<ScreenshotDialog> ScreenshotDialogs() override;

    // Rebuild a list from peerfeed's statistics (the timer's work).
    void RefreshResourceList();
    void RefreshConnectionList();

    // The resource line events.
    void PickResource(int view_row);
    void LocateResource(int view_row);
    // "取消发布" of the menu: withdraws the first selected resource.
    void WithdrawSelected();
    // A click on a column header: flips the column's direction and sorts by it.
    void SortResources(int column);
    void SortConnections(int column);

    const std::string& PickedGcid() const { return picked_gcid_; }
    const QTimer& RefreshTimer() const { return timer_; }
    QTableView& ResourceView() const { return *resource_view_; }
    QTableView& ConnectionView() const { return *connection_view_; }
    monitor::ResourceListModel& Resources() { return resources_; }
    monitor::ConnectionListModel& Connections() { return connections_; }
    // Menu 311 as the right click shows it (for the page and its tests).
    QMenu& ResourceMenu() const { return *resource_menu_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // Sort state of one list: the column last sorted by and one direction flag per column.
    struct SortState {
        int column = -1;
        std::array<bool, 8> negated{};
    };

    void LayOut();
    void ShowResourceMenu(const QPoint& position);
    void SortBy(SortState& state, monitor::MonitorSortProxy& proxy, QTableView& view, int column);
    void ResortIfSet(const SortState& state, monitor::MonitorSortProxy& proxy);
    std::string GcidOfViewRow(int view_row) const;
    void SelectPickedResource();

    monitor::ResourceListModel resources_;
    monitor::ConnectionListModel connections_;
    monitor::MonitorSortProxy resource_order_;
    monitor::MonitorSortProxy connection_order_;
    QTableView* resource_view_;
    QTableView* connection_view_;
    QMenu* resource_menu_;
    QTimer timer_;
    std::string picked_gcid_;
    SortState resource_sort_;
    SortState connection_sort_;
};

}  // namespace wharfkeep::ui
