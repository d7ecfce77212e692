#include "add_dir_dialog.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <filesystem>

#include "publish_ids.h"
#include "wharfkeep/host/add_directory_worker.h"
#include "wharfkeep/ui/prompter.h"
#include "wharfkeep/ui/ui_ids.h"

namespace wharfkeep::ui {

namespace fs = std::filesystem;

namespace {

constexpr int kTextIntervalMs = 1000;
constexpr int kFinishCheckMs = 50;

// The texts of the functions outside the dialog classes share the add dialog's context.
QString AddDirText(const char* text) {
    return QCoreApplication::translate("wharfkeep::ui::CPWTDlgAddDir", text);
}

QString DialogCaption() {
    return AddDirText(QT_TRANSLATE_NOOP("wharfkeep::ui::CPWTDlgAddDir", "添加视频目录"));
}

std::optional<QString> ChooseFolderWithBrowser(QWidget* parent) {
    QString chosen = QFileDialog::getExistingDirectory(
        parent, AddDirText(QT_TRANSLATE_NOOP("wharfkeep::ui::CPWTDlgAddDir", "选择一个文件夹")));
    if (chosen.isEmpty()) {
        return std::nullopt;
    }
    return chosen;
}

// The path without a trailing "/" (the root stays "/").
std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

class WorkerJob : public AddDirectoryJob {
public:
    WorkerJob(host::DirectoryOperations& directories, const std::string& directory)
        : worker_(directories, directory) {}
    int done() const override { return worker_.done(); }
    int total() const override { return worker_.total(); }
    bool finished() const override { return worker_.finished(); }
    void Cancel() override { worker_.Cancel(); }
    host::CPWTGuiderTreeNode* Wait() override { return worker_.Wait(); }

private:
    host::AddDirectoryWorker worker_;
};

// A job that stays at a fixed point, for the screenshot tour.
class FixedJob : public AddDirectoryJob {
public:
    int done() const override { return 37; }
    int total() const override { return 120; }
    bool finished() const override { return false; }
    void Cancel() override {}
    host::CPWTGuiderTreeNode* Wait() override { return nullptr; }
};

struct FixedJobHolder {
    FixedJob job;
};

// The progress dialog over a fixed job it owns (the holder is built before the dialog).
class ScreenshotProgressDlg : private FixedJobHolder, public CAddDirProgressDlg {
public:
    explicit ScreenshotProgressDlg(QWidget* parent) : CAddDirProgressDlg(job, parent) {}
};

}  // namespace

// ---- CPWTDlgAddDir ----

CPWTDlgAddDir::CPWTDlgAddDir(QWidget* parent) : QDialog(parent), chooser_(ChooseFolderWithBrowser) {
    setObjectName(ObjectId(ids::kAddDirectoryDialog));
    setWindowTitle(DialogCaption());

    path_ = new QLineEdit(this);
    path_->setObjectName(ObjectId(ids::kEditNewDirectory));
    path_->setMinimumWidth(300);
    auto* browse = new QPushButton(tr("浏览"), this);
    browse->setObjectName(ObjectId(ids::kButtonBrowse));
    publish_all_radio_ = new QRadioButton(tr("发布目录下所有视频"), this);
    publish_all_radio_->setObjectName(ObjectId(ids::kRadioPublishAll));
    publish_none_radio_ = new QRadioButton(tr("只发布目录"), this);
    publish_none_radio_->setObjectName(ObjectId(ids::kRadioPublishNone));
    publish_all_radio_->setChecked(true);
    watch_folder_ = new QCheckBox(tr("监视此目录，自动发布新增的视频"), this);
    watch_folder_->setObjectName(ObjectId(ids::kCheckWatchFolder));

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(tr("确定"), QDialogButtonBox::AcceptRole);
    QPushButton* cancel = buttons->addButton(tr("取消"), QDialogButtonBox::RejectRole);
    ok->setObjectName(QStringLiteral("IDOK"));
    cancel->setObjectName(QStringLiteral("IDCANCEL"));
    ok->setDefault(true);

    auto* path_row = new QHBoxLayout;
    path_row->addWidget(new QLabel(tr("新目录："), this));
    path_row->addWidget(path_, 1);
    path_row->addWidget(browse);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(path_row);
    layout->addWidget(publish_all_radio_);
    layout->addWidget(publish_none_radio_);
    layout->addWidget(watch_folder_);
    layout->addWidget(buttons);

    connect(browse, &QPushButton::clicked, this, &CPWTDlgAddDir::Browse);
    connect(publish_all_radio_, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked) {
            publish_all_ = 1;
        }
    });
    connect(publish_none_radio_, &QRadioButton::toggled, this, [this](bool checked) {
        if (checked) {
            publish_all_ = 0;
        }
    });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

bool CPWTDlgAddDir::WatchFolder() const {
    return watch_folder_->isChecked();
}

void CPWTDlgAddDir::SetWatchFolder(bool watch) {
    watch_folder_->setChecked(watch);
}

QString CPWTDlgAddDir::Path() const {
    return path_->text();
}

void CPWTDlgAddDir::SetPath(const QString& path) {
    path_->setText(path);
}

void CPWTDlgAddDir::Browse() {
    if (std::optional<QString> chosen = chooser_(this)) {
        path_->setText(*chosen);
    }
}

// ---- Checks ----

DirectoryCheck CheckNewDirectory(const QString& typed) {
    DirectoryCheck check;
    if (typed.isEmpty()) {
        return check;
    }
    std::error_code error;
    fs::path path = fs::path(typed.toStdString());
    if (path.is_relative()) {
        path = fs::absolute(path, error);
    }
    std::string normal = WithoutTrailingSlashes(path.lexically_normal().string());
    if (error || !fs::is_directory(normal, error)) {
        check.error =
            typed + AddDirText(QT_TRANSLATE_NOOP("wharfkeep::ui::CPWTDlgAddDir", " 不存在。"));
        return check;
    }
    // The root, also when reached through "." and ".." or a link to it, is the whole disk.
    fs::path resolved = fs::weakly_canonical(normal, error);
    if (normal == "/" || (!error && resolved == fs::path("/"))) {
        check.error = AddDirText(QT_TRANSLATE_NOOP("wharfkeep::ui::CPWTDlgAddDir", "不能添加磁盘"));
        return check;
    }
    check.accepted = true;
    check.directory = normal;
    return check;
}

// ---- Jobs ----

std::unique_ptr<AddDirectoryJob> StartAddDirectoryJob(host::DirectoryOperations& directories,
                                                      const std::string& directory) {
    return std::make_unique<WorkerJob>(directories, directory);
}

// ---- CAddDirProgressDlg ----

CAddDirProgressDlg::CAddDirProgressDlg(AddDirectoryJob& job, QWidget* parent)
    : QDialog(parent), job_(job) {
    setObjectName(QStringLiteral("add_directory_progress"));
    setWindowTitle(DialogCaption());
    setModal(true);
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("progress_bar"));
    bar_->setRange(0, 100);
    bar_->setValue(0);
    bar_->setMinimumWidth(320);
    text_ = new QLabel(this);
    text_->setObjectName(QStringLiteral("progress_text"));
    cancel_ = new QPushButton(tr("取消"), this);
    cancel_->setObjectName(QStringLiteral("IDCANCEL"));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(cancel_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text_);
    layout->addWidget(bar_);
    layout->addLayout(buttons);

    connect(cancel_, &QPushButton::clicked, this, [this] { reject(); });
    text_timer_.setInterval(kTextIntervalMs);
    finish_timer_.setInterval(kFinishCheckMs);
    connect(&text_timer_, &QTimer::timeout, this, &CAddDirProgressDlg::UpdateProgress);
    connect(&finish_timer_, &QTimer::timeout, this, &CAddDirProgressDlg::CheckFinished);
    UpdateProgress();
    text_timer_.start();
    finish_timer_.start();
}

void CAddDirProgressDlg::SetIntervals(int text_ms, int finish_check_ms) {
    text_timer_.setInterval(text_ms);
    finish_timer_.setInterval(finish_check_ms);
}

QString CAddDirProgressDlg::ProgressText() const {
    return text_->text();
}

int CAddDirProgressDlg::BarValue() const {
    return bar_->value();
}

void CAddDirProgressDlg::UpdateProgress() {
    int done = job_.done();
    int total = job_.total();
    text_->setText(QStringLiteral("%1/%2").arg(done).arg(total));
    if (total > 0) {
        bar_->setValue(static_cast<int>(static_cast<long long>(done) * 100 / total));
    }
}

void CAddDirProgressDlg::CheckFinished() {
    if (!job_.finished()) {
        return;
    }
    text_timer_.stop();
    finish_timer_.stop();
    UpdateProgress();
    accept();
}

void CAddDirProgressDlg::reject() {
    // Escape, the close button and "取消" only ask the work to stop; the dialog closes
    // when the work has ended, so the worker never outlives what it reports to.
    job_.Cancel();
    cancel_->setEnabled(false);
}

// ---- The flow ----

AddDirectoryOutcome RunAddDirectoryFlow(const PageContext& context, QWidget* parent,
                                        const AddDirectoryFlowHooks& hooks) {
    AddDirectoryOutcome outcome;
    CPWTDlgAddDir dialog(parent);
    int answer = hooks.run_dialog ? hooks.run_dialog(dialog) : dialog.exec();
    if (answer != QDialog::Accepted) {
        return outcome;
    }
    DirectoryCheck check = CheckNewDirectory(dialog.Path());
    if (!check.accepted) {
        if (!check.error.isEmpty()) {
            context.prompter.Message(check.error, kApplicationTitle, PromptIcon::Error);
        }
        return outcome;
    }
    std::unique_ptr<AddDirectoryJob> job =
        StartAddDirectoryJob(context.host.Directories(), check.directory);
    {
        CAddDirProgressDlg progress(*job, parent);
        if (hooks.run_progress) {
            hooks.run_progress(progress);
        } else {
            progress.exec();
        }
    }
    outcome.node = job->Wait();
    outcome.added = true;
    outcome.path = check.directory;
    outcome.publish_all = dialog.PublishAll() == 1;
    outcome.watch = dialog.WatchFolder();
    return outcome;
}

std::vector<ScreenshotDialog> AddDirectoryScreenshotDialogs() {
    return {
        {QStringLiteral("dialog-add-directory.png"),
         [](QWidget* parent) -> std::unique_ptr<QWidget> {
             auto dialog = std::make_unique<CPWTDlgAddDir>(parent);
             dialog->SetPath(QStringLiteral("/srv/videos/films"));
             return dialog;
         }},
        {QStringLiteral("dialog-add-directory-progress.png"),
         [](QWidget* parent) -> std::unique_ptr<QWidget> {
             return std::make_unique<ScreenshotProgressDlg>(parent);
         }},
    };
}

}  // namespace wharfkeep::ui
