// The factories through which the page container creates the two monitoring pages.
#include "conn_monitor_view.h"
#include "state_info_view.h"
#include "wharfkeep/ui/pages.h"

namespace wharfkeep::ui {

std::unique_ptr<CPWTPage> make_connection_monitor_page(const PageContext& context,
                                                       QWidget* parent) {
    return std::make_unique<CPWTConnMonitorFormView>(context, parent);
}

std::unique_ptr<CPWTPage> make_state_info_page(const PageContext& context, QWidget* parent) {
    return std::make_unique<CPWTStateInfoFormView>(context, parent);
}

}  // namespace wharfkeep::ui
