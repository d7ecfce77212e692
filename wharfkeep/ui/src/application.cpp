#include "wharfkeep/ui/application.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QLocalSocket>
#include <QMenu>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "control_session.h"
#include "platform/app_paths.h"
#include "qt_message_sink.h"
#include "screenshot_tour.h"
#include "wharfkeep/host/publish_backend.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/ui/designed_texts.h"
#include "wharfkeep/ui/ui_ids.h"

namespace wharfkeep::ui {

using host::AppMessage;

// ---- Tray ----

TrayController::TrayController(host::CPierwatchDoc& doc, host::MessageSink& main_window,
                               CMainFrame& frame, QObject* parent)
    : QObject(parent),
      doc_(doc),
      main_window_(main_window),
      frame_(frame),
      menu_(std::make_unique<QMenu>()) {
    menu_->setObjectName(ObjectId(ids::kMenuNotifyIcon));
    auto add = [this](int command, const QString& text) {
        QAction* action = menu_->addAction(text);
        action->setObjectName(ObjectId(command));
        action->setData(command);
        return action;
    };
    QAction* stop = add(ids::kCmdStopServices, tr("停止服务"));
    QAction* start = add(ids::kCmdStartServices, tr("启动服务"));
    menu_->addSeparator();
    QAction* exit = add(ids::kCmdExit, tr("退出"));
    connect(stop, &QAction::triggered, this, [this] { doc_.StopServices(true); });
    connect(start, &QAction::triggered, this, [this] { doc_.StartServices(); });
    connect(exit, &QAction::triggered, this,
            [this] { main_window_.post(AppMessage::WM_APP_EXIT, 0, {}); });
    // The right button brings the window forward as it opens the menu.
    connect(menu_.get(), &QMenu::aboutToShow, this, [this] {
        frame_.BringForward();
        UpdateMenu(doc_.ServicesRunning());
    });

    icon_.setIcon(QIcon(QStringLiteral(":/icons/wharfkeep.svg")));
    UpdateToolTip();
    tip_timer_.setInterval(std::chrono::seconds(5));
    connect(&tip_timer_, &QTimer::timeout, this, &TrayController::UpdateToolTip);
    tip_timer_.start();
    icon_.setContextMenu(menu_.get());
    connect(&icon_, &QSystemTrayIcon::activated, this, &TrayController::OnActivated);
    UpdateMenu(doc_.ServicesRunning());
}

TrayController::~TrayController() {
    icon_.hide();
}

void TrayController::UpdateToolTip() {
    // The upload mode in force, so that a paused or limited server shows at a glance.
    host::ServerStatusSnapshot status;
    doc_.GetServerStatus(status);
    icon_.setToolTip(kApplicationTitle + tr(" - 上传：") + ui::UploadModeText(status.upload.mode));
}

void TrayController::UpdateMenu(bool services_running) {
    for (QAction* action : menu_->actions()) {
        int command = action->data().toInt();
        if (command == ids::kCmdStopServices) {
            action->setEnabled(services_running);
        } else if (command == ids::kCmdStartServices) {
            action->setEnabled(!services_running);
        }
    }
}

void TrayController::OnActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context) {
        frame_.BringForward();
    }
}

void TrayController::Show() {
    icon_.show();
}

void TrayController::Remove() {
    icon_.hide();
}

// ---- Single instance ----

QString SingleInstance::ServerName(const std::filesystem::path& folder) {
    // One instance per application-data folder, so tests with folders of their own and a
    // second operator account never meet.
    QByteArray digest = QCryptographicHash::hash(QByteArray::fromStdString(folder.string()),
                                                 QCryptographicHash::Sha1);
    return kApplicationTitle + QLatin1Char('-') + QString::fromLatin1(digest.toHex().left(16));
}

bool SingleInstance::HandOver(const QString& name) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(1000)) {
        return false;
    }
    socket.write("show\n");
    socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::Listen(const QString& name) {
    // A socket file left by a process that was killed would refuse the name.
    QLocalServer::removeServer(name);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(name)) {
        return false;
    }
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                // Only short requests are read; anything else closes the connection.
                QByteArray request = socket->readAll();
                if (request.startsWith("show")) {
                    emit showRequested();
                }
                socket->disconnectFromServer();
            });
        }
    });
    return true;
}

// ---- Application ----

namespace {

int signal_pipe[2] = {-1, -1};

// The signal handler only writes which signal came; the event loop does the work.
constexpr char kReloadByte = 'H';
constexpr char kExitByte = 'T';

void OnWatchedSignal(int signal_number) {
    const char byte = signal_number == SIGHUP ? kReloadByte : kExitByte;
    const int saved_errno = errno;
    ssize_t ignored = ::write(signal_pipe[1], &byte, 1);
    (void)ignored;
    errno = saved_errno;
}

// Questions during the screenshot tour: printed and answered No, so nothing blocks.
class QuietPrompter : public Prompter {
public:
    void Message(const QString& text, const QString&, PromptIcon) override {
        std::fprintf(stderr, "wharfkeep: %s\n", text.toUtf8().constData());
    }
    bool YesNo(const QString& text, const QString&) override {
        std::fprintf(stderr, "wharfkeep: %s (No)\n", text.toUtf8().constData());
        return false;
    }
    bool OkCancel(const QString& text, const QString&) override {
        std::fprintf(stderr, "wharfkeep: %s (Cancel)\n", text.toUtf8().constData());
        return false;
    }
};

}  // namespace

CPierwatchApp::CPierwatchApp(AppOptions options) : options_(std::move(options)) {
    if (options_.screenshot_folder.isEmpty()) {
        prompter_ = std::make_unique<MessageBoxPrompter>();
    } else {
        prompter_ = std::make_unique<QuietPrompter>();
    }
    sink_ = std::make_unique<QtMessageSink>(*prompter_);
}

CPierwatchApp::~CPierwatchApp() {
    control_.reset();
    sink_->SetHandler({});
    sink_->SetWindowExists(false);
    tray_.reset();
    frame_.reset();
    host_.reset();  // stops what still runs, joins the queue's threads
}

bool CPierwatchApp::Start() {
    host_ = std::make_unique<host::Host>(*sink_, host::MakeEnginePublishBackend());
    if (!host_->Open()) {
        return false;
    }
    PageContext context{*host_, *sink_, *prompter_};
    FrameOptions frame_options;
    frame_options.tray_available =
        options_.screenshot_folder.isEmpty() && QSystemTrayIcon::isSystemTrayAvailable();
    frame_ = std::make_unique<CMainFrame>(context, frame_options);
    if (auto* box_prompter = dynamic_cast<MessageBoxPrompter*>(prompter_.get())) {
        box_prompter->SetParent(frame_.get());
    }
    sink_->SetWindowExists(true);

    tray_ = std::make_unique<TrayController>(host_->Document(), *sink_, *frame_);
    if (frame_options.tray_available) {
        tray_->Show();
    }
    connect(frame_.get(), &CMainFrame::exitStarting, this, [this] { tray_->Remove(); });
    connect(frame_.get(), &CMainFrame::exitFinished, this, &CPierwatchApp::OnExitFinished);

    if (!options_.screenshot_folder.isEmpty()) {
        frame_->resize(800, 600);
    }
    frame_->show();
    sink_->post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
    sink_->post(AppMessage::WM_APP_RESUME_UNFINISHED, 0, {});
    if (host_->Settings().Setting(host::kVpAutoStart) == 1) {
        sink_->post(AppMessage::WM_APP_START_SERVICES, 0, {});
    }
    if (options_.screenshot_folder.isEmpty()) {
        host_->Watched().Start();
    }
    if (!options_.screenshot_folder.isEmpty()) {
        RunScreenshotTour(*frame_, *sink_, options_.screenshot_folder);
    }
    // The question comes before the posted messages are handled: they wait in the sink
    // until the router is connected.
    host_->Settings().CheckAccessAddress();
    sink_->SetHandler([this](AppMessage message, std::int64_t wparam, host::AppPayload& payload) {
        frame_->Route(message, wparam, payload);
    });
    if (options_.screenshot_folder.isEmpty()) {
        std::string error;
        bool remote_failed = false;  // the window runs on without it, as without the socket
        control_ = control::ControlSession::Start(
            *host_, platform::app_data_folder(),
            [this](std::function<void()> task) {
                QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
            },
            QCoreApplication::applicationVersion().toStdString(), error, remote_failed);
        if (!control_) {
            std::fprintf(stderr, "wharfkeep: control interface off: %s\n", error.c_str());
        }
    }
    return true;
}

void CPierwatchApp::OnExitFinished() {
    sink_->SetWindowExists(false);
    // The queue's threads have ended; what they posted last (a file abandoned or finished in
    // that moment) is queued behind this call and still recorded before the program ends.
    QMetaObject::invokeMethod(
        this,
        [this] {
            for (int pass = 0; pass < 5; ++pass) {
                QCoreApplication::sendPostedEvents(sink_.get());
            }
            QApplication::quit();
        },
        Qt::QueuedConnection);
}

void CPierwatchApp::WatchTerminationSignals() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signal_pipe) != 0) {
        return;
    }
    signal_notifier_ =
        std::make_unique<QSocketNotifier>(signal_pipe[0], QSocketNotifier::Read, this);
    connect(signal_notifier_.get(), &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (::read(signal_pipe[0], &byte, 1) != 1) {
            return;
        }
        // SIGHUP re-reads the settings and Wharfkeep.ini through the document, as
        // wharfkeepd does; peers stay connected.
        sink_->post(
            byte == kReloadByte ? AppMessage::WM_APP_RELOAD_SETTINGS : AppMessage::WM_APP_EXIT, 0,
            {});
    });
    struct sigaction action {};
    action.sa_handler = OnWatchedSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
}

}  // namespace wharfkeep::ui
