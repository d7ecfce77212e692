#pragma once
// CPWTContainerView: the right pane of the main window. It holds the five pages, each sized
// to the whole container, and shows one at a time; a page's timers run only while it is the
// one shown (the pages start and stop them in their show and hide hooks).

#include <QStackedWidget>

#include <array>

#include "wharfkeep/ui/page.h"

namespace wharfkeep::ui {

enum class PageSlot { Publish, ConnectionMonitor, StateInfo, ConfigSetting, IpFilter };

class CPWTContainerView : public QStackedWidget {
    Q_OBJECT
public:
    // Creates the five pages through their factories (pages.h).
    CPWTContainerView(const PageContext& context, QWidget* parent = nullptr);

    CPWTPage* Page(PageSlot slot) const { return pages_[static_cast<int>(slot)]; }
    const std::array<CPWTPage*, 5>& Pages() const { return pages_; }
    // Brings a page to the top: the page shown before is hidden first.
    void ShowPage(PageSlot slot);
    // The page on top, null before the first ShowPage.
    CPWTPage* ShownPage() const { return shown_; }

private:
    std::array<CPWTPage*, 5> pages_{};
    CPWTPage* shown_ = nullptr;
};

}  // namespace wharfkeep::ui
