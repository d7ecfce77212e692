// The publish page and the add-directory flow as the shell creates them.

#include <memory>
#include <optional>

#include "add_dir_dialog.h"
#include "publish_form_view.h"
#include "wharfkeep/ui/pages.h"

namespace wharfkeep::ui {

namespace {

// The restructuring percentage of the file being published, when the engine reports one.
// Engines without progress reporting leave the state text plain.
template <typename Engine>
std::optional<int> EngineProgress(Engine& engine) {
    if constexpr (requires { engine.GetProgress(); }) {
        return static_cast<int>(engine.GetProgress());
    } else {
        (void)engine;
        return std::nullopt;
    }
}

}  // namespace

std::unique_ptr<CPWTPage> make_publish_page(const PageContext& context, QWidget* parent) {
    auto page = std::make_unique<CPWTPublishFormView>(context, parent);
    host::CPierwatchDoc& doc = context.doc;
    page->SetProgressSource([&doc] { return EngineProgress(doc.Queue().engine()); });
    return page;
}

AddDirectoryOutcome run_add_directory_flow(const PageContext& context, QWidget* parent) {
    return RunAddDirectoryFlow(context, parent);
}

}  // namespace wharfkeep::ui
