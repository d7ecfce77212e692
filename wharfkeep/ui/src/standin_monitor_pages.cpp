// Stand-ins for the status and connection monitor pages until they are built.
#include "standin_page.h"
#include "wharfkeep/ui/pages.h"

namespace wharfkeep::ui {

std::unique_ptr<CPWTPage> make_connection_monitor_page(const PageContext& context,
                                                       QWidget* parent) {
    return std::make_unique<StandInPage>(context, parent, ids::kConnectionMonitorPage,
                                         QStringLiteral("连接监控"));
}

std::unique_ptr<CPWTPage> make_state_info_page(const PageContext& context, QWidget* parent) {
    return std::make_unique<StandInPage>(context, parent, ids::kStateInfoPage,
                                         QStringLiteral("状态信息"));
}

}  // namespace wharfkeep::ui
