// The publish page and the add-directory flow as the shell creates them.

#include <memory>
#include <optional>

#include "add_dir_dialog.h"
#include "publish_form_view.h"
#include "wharfkeep/ui/pages.h"

namespace wharfkeep::ui {

std::unique_ptr<CPWTPage> make_publish_page(const PageContext& context, QWidget* parent) {
    auto page = std::make_unique<CPWTPublishFormView>(context, parent);
    host::DirectoryOperations& directories = context.host.Directories();
    page->SetProgressSource(
        [&directories] { return std::optional<int>(directories.PublishProgress()); });
    return page;
}

AddDirectoryOutcome run_add_directory_flow(const PageContext& context, QWidget* parent) {
    return RunAddDirectoryFlow(context, parent);
}

}  // namespace wharfkeep::ui
