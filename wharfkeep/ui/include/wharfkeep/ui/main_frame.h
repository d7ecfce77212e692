#pragma once
// CMainFrame: the main window. A splitter holds the navigation tree (left, 140 pixels) and
// the page container (right); a one-pane status bar shows the access address and the
// service state; there is no menu bar. The window is the router of the private messages:
// each one goes to the host first (CPierwatchDoc::HandleAppMessage) and then here, where it
// is drawn: tree labels and selections, page switches, the status bar, the pages. It also
// listens to the host's events: those raised on the window's own thread by an operation
// (a file queued, a directory rescanned) are drawn at once; those of other threads reach it
// as private messages through the host's window bridge.
//
// Closing the window hides it (the program keeps running in the tray); on a desktop without a
// tray it is minimised instead, so that it can always be found again. Only WM_APP_EXIT ends
// the program.

#include <QMainWindow>
#include <QUrl>

#include <functional>
#include <memory>

#include "wharfkeep/host/server_host.h"
#include "wharfkeep/ui/page.h"

class QLabel;

namespace wharfkeep::host {
class ActivityReportTimer;
}

namespace wharfkeep::ui {

class CPWTContainerView;
class CPWTGuiderTree;
class CPWTSplitterWnd;
enum class PageSlot;

struct FrameOptions {
    // QSystemTrayIcon::isSystemTrayAvailable() of the desktop; decides the closing rule.
    bool tray_available = true;
    // Run the activity report now and daily (off in tests).
    bool activity_report = true;
};

class CMainFrame : public QMainWindow, public host::HostListener {
    Q_OBJECT
public:
    CMainFrame(const PageContext& context, FrameOptions options, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Hands a private message to the host and then draws it (the sink's handler).
    void Route(host::AppMessage message, std::int64_t wparam, host::AppPayload& payload);

    // The drawing part of a private message, after the host's part.
    void OnAppMessage(host::AppMessage message, std::int64_t wparam,
                      const host::AppPayload& payload);
    // host::HostListener: draws the events raised on the window's thread.
    void OnHostEvent(const host::HostEvent& event) override;
    void OnClearPublishView();

    // "IP: %s" / "域名: %s" followed by the service state.
    QString StatusText() const;
    void UpdateStatusBar();
    // Restores (when minimised) or shows the window and brings it to the foreground.
    void BringForward();
    // Runs the add-directory flow and shows its result in the tree.
    void AddDirectory();

    CPWTGuiderTree& Tree() const { return *tree_; }
    CPWTSplitterWnd& Splitter() const { return *splitter_; }
    CPWTContainerView& Container() const { return *container_; }
    CPWTPage* Page(PageSlot slot) const;
    bool Exiting() const { return exiting_; }

    // How files, folders and the help file are opened (QDesktopServices::openUrl by default).
    void SetUrlOpener(std::function<void(const QUrl&)> opener) { open_url_ = std::move(opener); }

signals:
    // WM_APP_EXIT: before the host stops the services (the tray icon goes) ...
    void exitStarting();
    // ... and after the host stopped everything and the window closed.
    void exitFinished();

protected:
    void closeEvent(QCloseEvent* event) override;
    // The navigation fits its labels once the window is laid out.
    void showEvent(QShowEvent* event) override;

private:
    // Widens the navigation to its widest label, up to about a third of an 800-wide window;
    // never narrows it (the operator may have dragged it wider).
    void FitNavigationWidth();
    void NavigatePage(int kind);
    void ShowDirectoryPage(const std::string& path);
    void GotoSetting(int code);
    void LocateMedia(const host::AppPayload& payload);
    void RefreshSelectedDirectory();
    void OpenHelp();

    PageContext context_;
    FrameOptions options_;
    CPWTSplitterWnd* splitter_ = nullptr;
    CPWTGuiderTree* tree_ = nullptr;
    CPWTContainerView* container_ = nullptr;
    QLabel* status_text_ = nullptr;
    QLabel* upload_mode_ = nullptr;
    std::unique_ptr<host::ActivityReportTimer> activity_report_;
    std::function<void(const QUrl&)> open_url_;
    bool exiting_ = false;
};

}  // namespace wharfkeep::ui
