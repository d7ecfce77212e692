#pragma once
// CPWTPage: one page of the main window's page container.
//
// The container creates each page once, through its factory in pages.h, and shows one page
// at a time. A page works only through the host's parts (host::Host) and the main window's
// message sink; it never publishes or serves by itself.
//
// How a page plugs in:
// 1. Derive from CPWTPage and take a PageContext in the constructor.
// 2. Define the page's factory of pages.h in a source file of your own folder and add that
//    file to the window library from your folder's CMakeLists.txt:
//        target_sources(wk_ui PRIVATE page_file.cpp ...)
//    wharfkeep/ui/CMakeLists.txt adds wharfkeep/ui/publish/ and wharfkeep/ui/monitor/ when
//    their CMakeLists.txt exists, and then stops compiling the plain stand-in of those
//    factories (src/standin_publish_page.cpp, src/standin_monitor_pages.cpp).
// 3. Give every control the id of the design as its objectName (see ui_ids.h), so that tests
//    and the screenshot tour find it.
//
// What the shell does for a page:
// - OnPageShown() when the page is brought to the top, OnPageHidden() when another page
//   replaces it. Timers that refresh a page run only between the two (start them in
//   OnPageShown, stop them in OnPageHidden; a started timer is not started twice).
// - OnAppMessage() for every private message the main window handled, after the host's own
//   handling (CPierwatchDoc::HandleAppMessage), on the user-interface thread.
// - The publish page's operations below; the other pages ignore them.
// - ScreenshotDialogs(): dialogs the screenshot tour should capture besides the page.
//
// Threading: everything here runs on the user-interface thread. Background threads reach a
// page only by posting to the main window (PageContext::main_window).

#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "wharfkeep/host/app_message.h"
#include "wharfkeep/host/host.h"

namespace wharfkeep::ui {

class Prompter;

// What a page needs from the shell.
struct PageContext {
    host::Host& host;
    // Posts to the main window (the design's PostMessage to the main frame); any thread.
    host::MessageSink& main_window;
    // Message boxes and questions (a scripted double in tests).
    Prompter& prompter;
};

// A dialog the screenshot tour shows, captures and closes.
struct ScreenshotDialog {
    QString file_name;  // e.g. "dialog-add-directory.png"
    std::function<std::unique_ptr<QWidget>(QWidget* parent)> make;
};

class CPWTPage : public QWidget {
    Q_OBJECT
public:
    CPWTPage(const PageContext& context, QWidget* parent = nullptr);
    ~CPWTPage() override;

    host::Host& Host() const { return context_.host; }
    host::MessageSink& MainWindow() const { return context_.main_window; }
    Prompter& Prompts() const { return context_.prompter; }
    const PageContext& Context() const { return context_; }

    // The container brought the page to the top / replaced it by another page.
    virtual void OnPageShown() {}
    virtual void OnPageHidden() {}
    // A private message after the host's handling (the payload may have been updated).
    virtual void OnAppMessage(host::AppMessage message, std::int64_t wparam,
                              const host::AppPayload& payload) {
        (void)message;
        (void)wparam;
        (void)payload;
    }

    // ---- The publish page's operations, called by the shell ----
    // Show the media of a directory (its Path, ending with "/"); an empty path empties.
    virtual void ShowDirectory(const std::string& path) { (void)path; }
    // Empty the page (WM_APP_CLEAR_PUBLISH_VIEW, a directory removed).
    virtual void ClearView() {}
    // A record's state changed (queued, publishing, published, withdrawn): update its line.
    // The shell calls this on WM_APP_PUBLISH_STARTED, WM_APP_PUBLISH_FINISHED and
    // WM_APP_MEDIA_CHANGED, and when the host marks files queued.
    virtual void UpdateMediaLine(const MediaRecord& record) { (void)record; }
    // Select the line of this file (WM_APP_SHOW_MEDIA); its directory is shown already.
    virtual void ShowMedia(const MediaRecord& record) { (void)record; }

    // ---- The settings page's operation ----
    // WM_APP_FOCUS_FIELD: 1 transfer port, 2 protocol port, 3 access IP.
    virtual void FocusField(int code) { (void)code; }

    virtual std::vector<ScreenshotDialog> ScreenshotDialogs() { return {}; }

private:
    PageContext context_;
};

}  // namespace wharfkeep::ui
