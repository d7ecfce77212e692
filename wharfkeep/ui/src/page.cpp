#include "wharfkeep/ui/page.h"

namespace wharfkeep::ui {

CPWTPage::CPWTPage(const PageContext& context, QWidget* parent)
    : QWidget(parent), context_(context) {}

CPWTPage::~CPWTPage() = default;

}  // namespace wharfkeep::ui
