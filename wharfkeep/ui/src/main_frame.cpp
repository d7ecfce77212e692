#include "wharfkeep/ui/main_frame.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QShowEvent>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

#include <algorithm>

#include "container_view.h"
#include "guider_tree.h"
#include "platform/app_paths.h"
#include "splitter.h"
#include "wharfkeep/host/activity_report_timer.h"
#include "wharfkeep/host/link_export.h"
#include "wharfkeep/ui/designed_texts.h"
#include "wharfkeep/ui/pages.h"
#include "wharfkeep/ui/prompter.h"
#include "wharfkeep/ui/translations.h"

// The icons live in the static window library; their resource is registered explicitly.
static void InitIconResources() {
    Q_INIT_RESOURCE(icons);
}

namespace wharfkeep::ui {

using host::AppMessage;
using host::AppPayload;

namespace {
constexpr int kTreeWidth = 140;
// The navigation grows to its labels up to about a third of the smallest window (800 wide).
constexpr int kMaxTreeWidth = 260;
}  // namespace

CMainFrame::CMainFrame(const PageContext& context, FrameOptions options, QWidget* parent)
    : QMainWindow(parent),
      context_(context),
      options_(options),
      open_url_([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
    InitIconResources();
    setWindowTitle(kApplicationTitle);
    setWindowIcon(QIcon(QStringLiteral(":/icons/wharfkeep.svg")));
    setMinimumSize(800, 600);

    if (options_.activity_report) {
        activity_report_ = std::make_unique<host::ActivityReportTimer>(platform::app_data_folder());
    }

    status_text_ = new QLabel(this);
    status_text_->setObjectName(QStringLiteral("status_text"));
    statusBar()->addWidget(status_text_, 1);
    // Beside the designed text: the upload mode in force.
    upload_mode_ = new QLabel(this);
    upload_mode_->setObjectName(QStringLiteral("upload_mode"));
    statusBar()->addPermanentWidget(upload_mode_);
    statusBar()->setSizeGripEnabled(true);

    splitter_ = new CPWTSplitterWnd(this);
    tree_ = new CPWTGuiderTree(context_.host, context_.main_window, context_.prompter, splitter_);
    tree_->SetExitOnSpaceMenu(!options_.tray_available);
    container_ = new CPWTContainerView(context_, splitter_);
    splitter_->addWidget(tree_);
    splitter_->addWidget(container_);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    setCentralWidget(splitter_);
    resize(960, 640);
    splitter_->setSizes({kTreeWidth, width() - kTreeWidth});

    connect(tree_, &CPWTGuiderTree::addDirectoryRequested, this, &CMainFrame::AddDirectory);
    connect(tree_, &CPWTGuiderTree::openFileRequested, this,
            [this](const QString& file) { open_url_(QUrl::fromLocalFile(file)); });
    connect(tree_, &CPWTGuiderTree::openFolderRequested, this,
            [this](const QString& folder) { open_url_(QUrl::fromLocalFile(folder)); });
    connect(tree_, &CPWTGuiderTree::clearPublishViewRequested, this,
            [this] { OnClearPublishView(); });

    tree_->Build();
    container_->ShowPage(PageSlot::StateInfo);
    context_.host.Events().Subscribe(this);
}

CMainFrame::~CMainFrame() {
    context_.host.Events().Unsubscribe(this);
}

CPWTPage* CMainFrame::Page(PageSlot slot) const {
    return container_->Page(slot);
}

void CMainFrame::Route(AppMessage message, std::int64_t wparam, AppPayload& payload) {
    if (message == AppMessage::WM_APP_EXIT) {
        if (exiting_) {
            return;
        }
        // The daily report and the tray icon go before the services stop.
        activity_report_.reset();
        emit exitStarting();
    }
    context_.host.Document().HandleAppMessage(message, wparam, payload);
    OnAppMessage(message, wparam, payload);
}

void CMainFrame::OnAppMessage(AppMessage message, std::int64_t wparam, const AppPayload& payload) {
    CPWTPage* publish = Page(PageSlot::Publish);
    switch (message) {
        case AppMessage::WM_APP_NAVIGATE_PAGE:
            NavigatePage(static_cast<int>(wparam));
            break;
        case AppMessage::WM_APP_NAVIGATE_DIRECTORY:
            ShowDirectoryPage(payload.text);
            break;
        case AppMessage::WM_APP_LOCATE_MEDIA:
            LocateMedia(payload);
            break;
        case AppMessage::WM_APP_SHOW_MEDIA:
            if (payload.record) {
                publish->ShowMedia(*payload.record);
            }
            break;
        case AppMessage::WM_APP_SELECT_DIRECTORY:
            tree_->SelectDirectory(payload.text);
            break;
        case AppMessage::WM_APP_REFRESH_DIRECTORY:
            RefreshSelectedDirectory();
            break;
        case AppMessage::WM_APP_GOTO_SETTING:
            GotoSetting(static_cast<int>(wparam));
            break;
        case AppMessage::WM_APP_FOCUS_FIELD:
            Page(PageSlot::ConfigSetting)->FocusField(static_cast<int>(wparam));
            break;
        case AppMessage::WM_APP_ADJUST_PUBLISHED_COUNT:
            tree_->RedrawDirectoryLabels();
            break;
        case AppMessage::WM_APP_UPDATE_STATUS_BAR:
            UpdateStatusBar();
            break;
        case AppMessage::WM_APP_CLEAR_PUBLISH_VIEW:
            OnClearPublishView();
            break;
        case AppMessage::WM_APP_OPEN_FOLDER:
            open_url_(QUrl::fromLocalFile(QString::fromStdString(payload.text)));
            break;
        case AppMessage::WM_APP_PUBLISH_STARTED:
        case AppMessage::WM_APP_PUBLISH_FINISHED:
        case AppMessage::WM_APP_MEDIA_CHANGED:
            if (payload.record) {
                publish->UpdateMediaLine(*payload.record);
            }
            break;
        case AppMessage::WM_APP_EXIT:
            UpdateStatusBar();
            exiting_ = true;
            close();
            emit exitFinished();
            break;
        default:
            break;
    }
    for (CPWTPage* page : container_->Pages()) {
        page->OnAppMessage(message, wparam, payload);
    }
}

void CMainFrame::OnHostEvent(const host::HostEvent& event) {
    if (QThread::currentThread() != thread()) {
        return;  // the window bridge posts what the window needs of these
    }
    if (const auto* queued = std::get_if<host::PublicationQueued>(&event)) {
        Page(PageSlot::Publish)->UpdateMediaLine(queued->record);
    } else if (const auto* rescanned = std::get_if<host::DirectoryRescanned>(&event)) {
        if (rescanned->path.empty()) {
            OnClearPublishView();
        } else {
            Page(PageSlot::Publish)->ShowDirectory(rescanned->path);
        }
    }
}

void CMainFrame::FitNavigationWidth() {
    const QList<int> sizes = splitter_->sizes();
    const int total = sizes.value(0) + sizes.value(1);
    const int wanted =
        std::max(sizes.value(0), std::clamp(tree_->ContentWidth(), kTreeWidth, kMaxTreeWidth));
    splitter_->setSizes({wanted, std::max(0, total - wanted)});
}

void CMainFrame::OnClearPublishView() {
    Page(PageSlot::Publish)->ClearView();
}

void CMainFrame::NavigatePage(int kind) {
    switch (kind) {
        case host::kNodeStatus:
            container_->ShowPage(PageSlot::StateInfo);
            break;
        case host::kNodeDirectoryRoot:
            container_->ShowPage(PageSlot::Publish);
            break;
        case host::kNodeConnectionMonitor:
            container_->ShowPage(PageSlot::ConnectionMonitor);
            break;
        case host::kNodeSettings:
            container_->ShowPage(PageSlot::ConfigSetting);
            break;
        case host::kNodeIpFilter:
            container_->ShowPage(PageSlot::IpFilter);
            break;
        case host::kNodeHelp:
            OpenHelp();
            break;
        default:  // export links and "add a directory" act on clicks and change no page
            break;
    }
}

void CMainFrame::ShowDirectoryPage(const std::string& path) {
    container_->ShowPage(PageSlot::Publish);
    Page(PageSlot::Publish)->ShowDirectory(path);
}

void CMainFrame::GotoSetting(int code) {
    if (tree_->currentItem() == tree_->SettingsItem()) {
        container_->ShowPage(PageSlot::ConfigSetting);
    } else {
        tree_->setCurrentItem(tree_->SettingsItem());
    }
    context_.main_window.post(AppMessage::WM_APP_FOCUS_FIELD, code, {});
}

void CMainFrame::LocateMedia(const AppPayload& payload) {
    if (!payload.record) {
        return;
    }
    // The host has posted WM_APP_SHOW_MEDIA already; the directory is shown now, without a
    // navigation message that would arrive after it and clear the file's selection.
    if (tree_->SelectDirectory(host::FolderOf(payload.record->local_path), false)) {
        if (const host::CPWTGuiderTreeNode* node = tree_->SelectedNode()) {
            ShowDirectoryPage(node->path);
        }
    }
}

void CMainFrame::RefreshSelectedDirectory() {
    host::CPWTGuiderTreeNode* node = tree_->SelectedNode();
    context_.host.Directories().RefreshDirectory(
        node != nullptr && node->kind == host::kNodeDirectory ? node : nullptr);
}

void CMainFrame::OpenHelp() {
    const bool english = CurrentLanguage() == WindowLanguage::English;
    QString help =
        QDir(QCoreApplication::applicationDirPath())
            .filePath(english ? QStringLiteral("help_en.html") : QStringLiteral("help.html"));
    open_url_(QUrl::fromLocalFile(help));
}

QString CMainFrame::StatusText() const {
    const ServerAccessSettings& access = context_.host.Settings().Access();
    QString text = access.access_way == 0
                       ? QStringLiteral("IP: %1").arg(QString::fromStdString(access.access_ip))
                       : tr("域名: %1").arg(QString::fromStdString(access.access_domain));
    host::ServerStatusSnapshot status;
    context_.host.Document().GetServerStatus(status);
    text += status.running == 1 ? tr("    服务状态：已启动") : tr("    服务状态：未启动");
    return text;
}

void CMainFrame::UpdateStatusBar() {
    status_text_->setText(StatusText());
    host::ServerStatusSnapshot status;
    context_.host.Document().GetServerStatus(status);
    upload_mode_->setText(tr("上传：") + ui::UploadModeText(status.upload.mode));
}

void CMainFrame::BringForward() {
    if (isMinimized()) {
        showNormal();
    } else {
        show();
    }
    raise();
    activateWindow();
}

void CMainFrame::AddDirectory() {
    AddDirectoryOutcome outcome = run_add_directory_flow(context_, this);
    if (!outcome.added) {
        return;
    }
    std::string path = outcome.path;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    context_.main_window.post(AppMessage::WM_APP_SELECT_DIRECTORY, 0, AppPayload::Text(path));
    if (outcome.node != nullptr) {
        tree_->InsertDirectoryNode(outcome.node);
        FitNavigationWidth();
        if (outcome.watch) {
            context_.host.Watched().SetWatched(outcome.node->path, true);
        }
        if (outcome.publish_all) {
            context_.main_window.post(AppMessage::WM_APP_PUBLISH_DIRECTORY, 0,
                                      AppPayload::Text(outcome.node->path));
        }
    }
}

void CMainFrame::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // After the show has laid the splitter out: sizes set before that do not hold.
    QTimer::singleShot(0, this, [this] { FitNavigationWidth(); });
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (exiting_) {
        event->accept();
        return;
    }
    event->ignore();
    if (options_.tray_available) {
        hide();
    } else {
        showMinimized();
    }
}

}  // namespace wharfkeep::ui
