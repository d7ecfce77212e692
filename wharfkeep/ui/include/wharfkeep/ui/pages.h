#pragma once
// The factories of the container's five pages and the add-directory flow.
//
// The main window calls each factory once when it builds its page container, and owns the
// page from then on (the container re-parents it). To replace a stand-in, define the factory
// in your own folder as page.h describes; the shell's plain stand-in (a page showing its
// title) is compiled only while wharfkeep/ui/publish/CMakeLists.txt or
// wharfkeep/ui/monitor/CMakeLists.txt does not exist.

#include <memory>
#include <string>

#include "wharfkeep/ui/page.h"

namespace wharfkeep::host {
struct CPWTGuiderTreeNode;
}

namespace wharfkeep::ui {

// Publish page (dialog 310): wharfkeep/ui/publish/.
std::unique_ptr<CPWTPage> make_publish_page(const PageContext& context, QWidget* parent);
// Connection monitor page (dialog 311) and status page (dialog 312): wharfkeep/ui/monitor/.
std::unique_ptr<CPWTPage> make_connection_monitor_page(const PageContext& context, QWidget* parent);
std::unique_ptr<CPWTPage> make_state_info_page(const PageContext& context, QWidget* parent);
// Settings page (dialog 314) and IP filter page (dialog 315): the shell's own.
std::unique_ptr<CPWTPage> make_config_setting_page(const PageContext& context, QWidget* parent);
std::unique_ptr<CPWTPage> make_ip_filter_page(const PageContext& context, QWidget* parent);

// The outcome of the add-directory flow (dialog 319 and its progress dialog).
struct AddDirectoryOutcome {
    bool added = false;  // false: cancelled, empty path or refused; nothing else to do
    std::string path;    // the directory as chosen, without a trailing "/"
    host::CPWTGuiderTreeNode* node = nullptr;  // the new node, null when it was known already
    bool publish_all = true;                   // "发布目录下所有视频" was chosen
    bool watch = false;                        // publish files that arrive later by themselves
};

// Runs the add-directory flow from the tree ("添加新的目录"). The shell then selects the
// directory, inserts the new node's tree item and, with publish_all, publishes it.
// Defined with the publish page (wharfkeep/ui/publish/).
AddDirectoryOutcome run_add_directory_flow(const PageContext& context, QWidget* parent);

}  // namespace wharfkeep::ui
