// Stand-ins for the publish page and the add-directory flow until they are built: a page
// with its title and the directory shown, and a plain flow (folder chooser, progress
// dialog over the host's add-directory worker).
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QProgressDialog>
#include <QTimer>

#include "standin_page.h"
#include "wharfkeep/host/add_directory_worker.h"
#include "wharfkeep/ui/pages.h"
#include "wharfkeep/ui/prompter.h"

namespace wharfkeep::ui {
namespace {

class StandInPublishPage : public StandInPage {
public:
    StandInPublishPage(const PageContext& context, QWidget* parent)
        : StandInPage(context, parent, ids::kPublishPage, QStringLiteral("发布目录管理")) {
        directory_ = new QLabel(this);
        directory_->setObjectName(QStringLiteral("directory"));
        static_cast<QVBoxLayout*>(layout())->insertWidget(1, directory_);
    }
    void ShowDirectory(const std::string& path) override {
        directory_->setText(QString::fromStdString(path));
    }
    void ClearView() override { directory_->clear(); }

private:
    QLabel* directory_ = nullptr;
};

}  // namespace

std::unique_ptr<CPWTPage> make_publish_page(const PageContext& context, QWidget* parent) {
    return std::make_unique<StandInPublishPage>(context, parent);
}

AddDirectoryOutcome run_add_directory_flow(const PageContext& context, QWidget* parent) {
    AddDirectoryOutcome outcome;
    QString chosen = QFileDialog::getExistingDirectory(parent, QStringLiteral("选择一个文件夹"));
    if (chosen.isEmpty()) {
        return outcome;
    }
    if (!QFileInfo(chosen).isDir()) {
        context.prompter.Message(chosen + QStringLiteral(" 不存在。"), kApplicationTitle,
                                 PromptIcon::Error);
        return outcome;
    }
    if (QDir(chosen).isRoot()) {
        context.prompter.Message(QStringLiteral("不能添加磁盘"), kApplicationTitle,
                                 PromptIcon::Error);
        return outcome;
    }
    outcome.path = QDir::cleanPath(chosen).toStdString();
    host::AddDirectoryWorker worker(context.doc, outcome.path);
    QProgressDialog progress(QStringLiteral("0/0"), QStringLiteral("取消"), 0, 100, parent);
    progress.setWindowTitle(QStringLiteral("添加视频目录"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &progress, [&] {
        progress.setLabelText(QString::fromStdString(worker.ProgressText()));
        progress.setValue(worker.ProgressPercent());
        if (worker.finished()) {
            progress.accept();
        }
    });
    QObject::connect(&progress, &QProgressDialog::canceled, &progress, [&] { worker.Cancel(); });
    poll.start(100);
    progress.exec();
    poll.stop();
    outcome.node = worker.Wait();
    outcome.added = true;
    return outcome;
}

}  // namespace wharfkeep::ui
