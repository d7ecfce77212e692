#include "container_view.h"

#include "wharfkeep/ui/pages.h"

namespace wharfkeep::ui {

CPWTContainerView::CPWTContainerView(const PageContext& context, QWidget* parent)
    : QStackedWidget(parent) {
    auto adopt = [this](std::unique_ptr<CPWTPage> page, PageSlot slot) {
        CPWTPage* raw = page.release();
        addWidget(raw);  // the container owns its pages from here
        pages_[static_cast<int>(slot)] = raw;
    };
    adopt(make_publish_page(context, this), PageSlot::Publish);
    adopt(make_connection_monitor_page(context, this), PageSlot::ConnectionMonitor);
    adopt(make_state_info_page(context, this), PageSlot::StateInfo);
    adopt(make_config_setting_page(context, this), PageSlot::ConfigSetting);
    adopt(make_ip_filter_page(context, this), PageSlot::IpFilter);
}

void CPWTContainerView::ShowPage(PageSlot slot) {
    CPWTPage* page = Page(slot);
    if (page == nullptr) {
        return;
    }
    if (shown_ != nullptr && shown_ != page) {
        shown_->OnPageHidden();
    }
    setCurrentWidget(page);
    shown_ = page;
    page->OnPageShown();
}

}  // namespace wharfkeep::ui
