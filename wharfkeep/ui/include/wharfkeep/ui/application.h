#pragma once
// CPierwatchApp: the window program's application object. It owns, in this order, the
// prompter, the message sink, the host (with its document), the main window and the tray icon,
// and tears them down in reverse: the window before the host, the sink last, so that
// nothing the background threads post can reach a destroyed window.
//
// The tray icon belongs to the application object, not to the main window: hiding the
// window changes nothing else.

#include <QLocalServer>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <filesystem>
#include <memory>

#include "wharfkeep/host/host.h"
#include "wharfkeep/ui/main_frame.h"
#include "wharfkeep/ui/prompter.h"

class QMenu;
class QAction;
class QSocketNotifier;

namespace wharfkeep::control {
class ControlSession;
}

namespace wharfkeep::ui {

class QtMessageSink;

// The tray icon and its menu ("停止服务", "启动服务", separator, "退出", resource 320).
class TrayController : public QObject {
    Q_OBJECT
public:
    TrayController(host::CPierwatchDoc& doc, host::MessageSink& main_window, CMainFrame& frame,
                   QObject* parent = nullptr);
    ~TrayController() override;

    QMenu& Menu() const { return *menu_; }
    // "停止服务" enabled and "启动服务" greyed while the services run, the reverse otherwise.
    void UpdateMenu(bool services_running);
    // The tray's left button: restore or show the window and bring it forward.
    void OnActivated(QSystemTrayIcon::ActivationReason reason);
    void Show();
    void Remove();
    QSystemTrayIcon& Icon() { return icon_; }
    // The tip: the title and the upload mode in force, refreshed every few seconds.
    void UpdateToolTip();

private:
    host::CPierwatchDoc& doc_;
    host::MessageSink& main_window_;
    CMainFrame& frame_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon icon_;
    QTimer tip_timer_;
};

// One window program per application-data folder: the first start listens on a local
// socket named after the application title (and the folder); a second start asks it to
// bring its window forward and ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    static QString ServerName(const std::filesystem::path& folder);
    // True when a running instance was reached and asked to show its window.
    static bool HandOver(const QString& name);
    // Starts listening; each connection that says "show" emits showRequested.
    bool Listen(const QString& name);

signals:
    void showRequested();

private:
    QLocalServer server_;
};

struct AppOptions {
    // Capture the pages and dialogs into this folder, then exit (scripts/screenshots).
    QString screenshot_folder;
};

class CPierwatchApp : public QObject {
    Q_OBJECT
public:
    explicit CPierwatchApp(AppOptions options);
    ~CPierwatchApp() override;

    // Start-up after the single-instance check: the document, the main window, the tray,
    // the start-up posts and the access-address question. False when start-up failed.
    bool Start();
    CMainFrame* Frame() const { return frame_.get(); }
    host::Host* Host() const { return host_.get(); }
    // SIGINT and SIGTERM end the program as "退出" does; SIGHUP reloads the settings.
    void WatchTerminationSignals();

private:
    void OnExitFinished();

    AppOptions options_;
    std::unique_ptr<Prompter> prompter_;
    std::unique_ptr<QtMessageSink> sink_;
    std::unique_ptr<host::Host> host_;
    std::unique_ptr<CMainFrame> frame_;
    std::unique_ptr<TrayController> tray_;
    std::unique_ptr<QSocketNotifier> signal_notifier_;
    // The control interface, so that wharfkeepd's commands work beside the window.
    std::unique_ptr<control::ControlSession> control_;
};

}  // namespace wharfkeep::ui
