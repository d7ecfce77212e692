// The add-directory dialog, its checks, the progress dialog and the whole flow over the
// host's worker.
#include <QtTest>

#include <QCheckBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include <atomic>

#include "add_dir_dialog.h"
#include "publish_ids.h"
#include "publish_test_support.h"
#include "wharfkeep/ui/ui_ids.h"

using namespace wharfkeep;
using namespace wharfkeep::ui;
using namespace wharfkeep::ui::testing;
namespace fs = std::filesystem;

namespace {

class ScriptedJob : public AddDirectoryJob {
public:
    int done() const override { return done_count.load(); }
    int total() const override { return total_count.load(); }
    bool finished() const override { return finished_flag.load(); }
    void Cancel() override { cancelled = true; }
    host::CPWTGuiderTreeNode* Wait() override { return nullptr; }

    std::atomic<int> done_count{0};
    std::atomic<int> total_count{0};
    std::atomic<bool> finished_flag{false};
    bool cancelled = false;
};

}  // namespace

class AddDirectoryTest : public QObject {
    Q_OBJECT

    AddDirectoryOutcome RunFlow(HostFixture& fixture, const QString& typed, bool publish_all = true,
                                bool watch = false) {
        AddDirectoryFlowHooks hooks;
        hooks.run_dialog = [&](CPWTDlgAddDir& dialog) {
            dialog.SetPath(typed);
            if (watch) {
                dialog.findChild<QCheckBox*>(ObjectId(ids::kCheckWatchFolder))->click();
            }
            if (!publish_all) {
                dialog.findChild<QRadioButton*>(ObjectId(ids::kRadioPublishNone))->click();
            }
            return static_cast<int>(QDialog::Accepted);
        };
        hooks.run_progress = [](CAddDirProgressDlg& progress) {
            progress.SetIntervals(5, 5);
            return progress.exec();
        };
        return RunAddDirectoryFlow(fixture.context(), nullptr, hooks);
    }

private slots:
    void checksRefuseMissingPathsAndTheRoot() {
        TempHome home;
        fs::path folder = home.media() / "films";
        fs::create_directories(folder / "sub");
        std::string file = home.WriteFile("films/a.mp4");

        DirectoryCheck empty = CheckNewDirectory("");
        QVERIFY(!empty.accepted);
        QVERIFY(empty.error.isEmpty());

        QString missing = QString::fromStdString((home.media() / "gone").string());
        QCOMPARE(CheckNewDirectory(missing).error, missing + QStringLiteral(" 不存在。"));
        QCOMPARE(CheckNewDirectory(QString::fromStdString(file)).error,
                 QString::fromStdString(file) + QStringLiteral(" 不存在。"));

        for (const char* root : {"/", "//", "/.", "/tmp/..", "/./"}) {
            DirectoryCheck check = CheckNewDirectory(QString::fromLatin1(root));
            QVERIFY2(!check.accepted, root);
            QCOMPARE(check.error, QStringLiteral("不能添加磁盘"));
        }
        fs::create_directory_symlink("/", home.media() / "whole-disk");
        QCOMPARE(
            CheckNewDirectory(QString::fromStdString((home.media() / "whole-disk").string())).error,
            QStringLiteral("不能添加磁盘"));

        DirectoryCheck below = CheckNewDirectory(QString::fromStdString((folder / "sub").string()));
        QVERIFY(below.accepted);
        QCOMPARE(below.directory, (folder / "sub").string());
        QVERIFY(CheckNewDirectory(QStringLiteral("/tmp")).accepted);
    }

    void aTrailingSlashOrARelativePathNamesTheSameDirectory() {
        TempHome home;
        fs::path folder = home.media() / "films";
        fs::create_directories(folder);
        QCOMPARE(CheckNewDirectory(QString::fromStdString(folder.string() + "/")).directory,
                 folder.string());
        QCOMPARE(CheckNewDirectory(QString::fromStdString(folder.string() + "//")).directory,
                 folder.string());
        fs::path before = fs::current_path();
        fs::current_path(home.media());
        DirectoryCheck relative = CheckNewDirectory(QStringLiteral("films/"));
        fs::current_path(before);
        QCOMPARE(relative.directory, folder.string());
    }

    void theDialogHasItsControlsAndChoices() {
        CPWTDlgAddDir dialog;
        QCOMPARE(dialog.objectName(), QStringLiteral("319"));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("添加视频目录"));
        auto* all = dialog.findChild<QRadioButton*>(ObjectId(ids::kRadioPublishAll));
        auto* none = dialog.findChild<QRadioButton*>(ObjectId(ids::kRadioPublishNone));
        QVERIFY(all->isChecked());
        QCOMPARE(all->text(), QStringLiteral("发布目录下所有视频"));
        QCOMPARE(none->text(), QStringLiteral("只发布目录"));
        QCOMPARE(dialog.PublishAll(), 1);
        none->click();
        QCOMPARE(dialog.PublishAll(), 0);
        all->click();
        QCOMPARE(dialog.PublishAll(), 1);
        auto* watch = dialog.findChild<QCheckBox*>(ObjectId(ids::kCheckWatchFolder));
        QVERIFY(!watch->isChecked());
        QVERIFY(!dialog.WatchFolder());
        watch->click();
        QVERIFY(dialog.WatchFolder());

        auto* browse = dialog.findChild<QPushButton*>(ObjectId(ids::kButtonBrowse));
        QCOMPARE(browse->text(), QStringLiteral("浏览"));
        dialog.SetPath("/typed");
        dialog.SetFolderChooser([](QWidget*) { return std::optional<QString>(); });
        browse->click();
        QCOMPARE(dialog.Path(), QStringLiteral("/typed"));  // cancelled browser changes nothing
        dialog.SetFolderChooser([](QWidget*) { return std::optional<QString>("/chosen"); });
        browse->click();
        QCOMPARE(dialog.findChild<QLineEdit*>(ObjectId(ids::kEditNewDirectory))->text(),
                 QStringLiteral("/chosen"));
    }

    void theProgressDialogShowsCountsAndCancelOnlyAsks() {
        ScriptedJob job;
        CAddDirProgressDlg progress(job);
        progress.SetIntervals(5, 5);
        QCOMPARE(progress.ProgressText(), QStringLiteral("0/0"));
        QCOMPARE(progress.BarValue(), 0);
        job.done_count = 3;
        job.total_count = 0;  // still counting: the bar stays
        progress.UpdateProgress();
        QCOMPARE(progress.ProgressText(), QStringLiteral("3/0"));
        QCOMPARE(progress.BarValue(), 0);
        job.total_count = 8;
        progress.UpdateProgress();
        QCOMPARE(progress.ProgressText(), QStringLiteral("3/8"));
        QCOMPARE(progress.BarValue(), 37);

        progress.show();
        progress.findChild<QPushButton*>(QStringLiteral("IDCANCEL"))->click();
        QVERIFY(job.cancelled);
        QTest::qWait(30);
        QVERIFY(progress.isVisible());  // open until the work has ended
        job.done_count = 8;
        job.finished_flag = true;
        QTRY_VERIFY(!progress.isVisible());
        QCOMPARE(progress.result(), static_cast<int>(QDialog::Accepted));
        QCOMPARE(progress.ProgressText(), QStringLiteral("8/8"));
    }

    void theFlowAddsTheDirectoryWithItsFiles() {
        HostFixture fixture;
        fixture.home.WriteFile("films/a.mp4");
        fixture.home.WriteFile("films/b.MP4");
        fixture.home.WriteFile("films/sub/c.mp4");
        fixture.home.WriteFile("films/notes.txt");
        std::string folder = (fixture.home.media() / "films").string();

        AddDirectoryOutcome outcome = RunFlow(fixture, QString::fromStdString(folder), false);
        QVERIFY(outcome.added);
        QCOMPARE(outcome.path, folder);
        QVERIFY(!outcome.publish_all);
        QVERIFY(!outcome.watch);
        QVERIFY(outcome.node != nullptr);
        QCOMPARE(outcome.node->label, std::string("films"));
        QCOMPARE(outcome.node->path, folder + "/");
        QCOMPARE(outcome.node->file_count, 3);
        QVERIFY(fixture.prompter.boxes.empty());

        // The same directory again: known already, so no new node.
        AddDirectoryOutcome again = RunFlow(fixture, QString::fromStdString(folder), true, true);
        QVERIFY(again.added);
        QVERIFY(again.publish_all);
        QVERIFY(again.watch);
        QVERIFY(again.node == nullptr);
    }

    void aTypedTrailingSlashStillGivesTheDirectoryItsNameAndFiles() {
        HostFixture fixture;
        fixture.home.WriteFile("films/a.mp4");
        std::string folder = (fixture.home.media() / "films").string();
        AddDirectoryOutcome outcome = RunFlow(fixture, QString::fromStdString(folder + "/"));
        QVERIFY(outcome.node != nullptr);
        QCOMPARE(outcome.node->label, std::string("films"));
        QCOMPARE(outcome.node->path, folder + "/");
        const std::vector<MediaRecord> listed =
            fixture.host->Library().ListedUnder(outcome.node->path);
        QCOMPARE(listed.size(), std::size_t{1});
    }

    void theFlowRefusesTheRootAndMissingDirectories() {
        HostFixture fixture;
        AddDirectoryOutcome root = RunFlow(fixture, "/");
        QVERIFY(!root.added);
        QCOMPARE(fixture.prompter.boxes.size(), std::size_t{1});
        QCOMPARE(fixture.prompter.boxes[0].text, QStringLiteral("不能添加磁盘"));
        QCOMPARE(fixture.prompter.boxes[0].icon, PromptIcon::Error);
        QCOMPARE(fixture.prompter.boxes[0].caption, QStringLiteral("Wharfkeep"));

        QString missing = QString::fromStdString((fixture.home.media() / "gone").string());
        QVERIFY(!RunFlow(fixture, missing).added);
        QCOMPARE(fixture.prompter.boxes.back().text, missing + QStringLiteral(" 不存在。"));

        QVERIFY(fixture.host->Library().Directories().empty());
    }

    void cancellingTheDialogAddsNothing() {
        HostFixture fixture;
        AddDirectoryFlowHooks hooks;
        hooks.run_dialog = [](CPWTDlgAddDir& dialog) {
            dialog.SetPath("/tmp");
            return static_cast<int>(QDialog::Rejected);
        };
        QVERIFY(!RunAddDirectoryFlow(fixture.context(), nullptr, hooks).added);
    }
};

QTEST_MAIN(AddDirectoryTest)
#include "add_directory_test.moc"
