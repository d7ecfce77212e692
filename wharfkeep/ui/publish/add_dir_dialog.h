#pragma once
// The add-directory flow: dialog 319 (CPWTDlgAddDir) asks for the directory and whether to
// publish everything in it; the checks refuse a missing directory and the file-system root;
// CAddDirProgressDlg runs the host's add-directory worker and shows done/total.
//
// Threading: the dialogs run on the user-interface thread; the work runs on the worker's
// own thread and is only read (counters) and cancelled from here.

#include <QDialog>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "wharfkeep/ui/page.h"
#include "wharfkeep/ui/pages.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace wharfkeep::ui {

class Prompter;

// Dialog 319, caption "添加视频目录".
class CPWTDlgAddDir : public QDialog {
    Q_OBJECT
public:
    // Asks for a folder: returns the chosen path, or nothing when the operator cancelled.
    using FolderChooser = std::function<std::optional<QString>(QWidget* parent)>;

    explicit CPWTDlgAddDir(QWidget* parent = nullptr);

    QString Path() const;
    void SetPath(const QString& path);
    // 1 for "发布目录下所有视频" (the initial choice), 0 for "只发布目录".
    int PublishAll() const { return publish_all_; }
    // The folder publishes files that arrive later by itself (off at start).
    bool WatchFolder() const;
    void SetWatchFolder(bool watch);
    // "浏览": the folder browser titled "选择一个文件夹"; its path replaces the edit's text.
    void Browse();
    void SetFolderChooser(FolderChooser chooser) { chooser_ = std::move(chooser); }

private:
    QLineEdit* path_ = nullptr;
    QRadioButton* publish_all_radio_ = nullptr;
    QRadioButton* publish_none_radio_ = nullptr;
    QCheckBox* watch_folder_ = nullptr;
    int publish_all_ = 1;
    FolderChooser chooser_;
};

// The outcome of checking a typed directory.
struct DirectoryCheck {
    bool accepted = false;
    std::string directory;  // absolute, normalised, without a trailing "/"
    QString error;          // the message to show when refused (empty: refuse silently)
};

// Refuses an empty path (silently), a path that is not an existing directory (the path
// followed by " 不存在。") and the file-system root ("不能添加磁盘"). A trailing "/" or a
// relative path names the same directory as its absolute form without the slash.
DirectoryCheck CheckNewDirectory(const QString& typed);

// What the progress dialog watches: the host's add-directory worker in the program, a
// fixed picture in the screenshot tour.
class AddDirectoryJob {
public:
    virtual ~AddDirectoryJob() = default;
    virtual int done() const = 0;
    virtual int total() const = 0;
    virtual bool finished() const = 0;
    virtual void Cancel() = 0;
    // The new directory node, or null (known already); waits for the end.
    virtual host::CPWTGuiderTreeNode* Wait() = 0;
};

// The host's worker behind AddDirectoryJob; the work starts at construction.
std::unique_ptr<AddDirectoryJob> StartAddDirectoryJob(host::DirectoryOperations& directories,
                                                      const std::string& directory);

// The modal progress dialog: a bar of 0..100, the "%d/%d" text refreshed once a second,
// and "取消", which only asks the work to stop. It closes with OK when the work has ended.
class CAddDirProgressDlg : public QDialog {
    Q_OBJECT
public:
    CAddDirProgressDlg(AddDirectoryJob& job, QWidget* parent = nullptr);

    // Timer intervals (tests shorten them): the text and bar, and the check for the end.
    void SetIntervals(int text_ms, int finish_check_ms);
    // Redraws the text and the bar from the job's counters.
    void UpdateProgress();
    QString ProgressText() const;
    int BarValue() const;

protected:
    void reject() override;

private:
    void CheckFinished();

    AddDirectoryJob& job_;
    QProgressBar* bar_ = nullptr;
    QLabel* text_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QTimer text_timer_;
    QTimer finish_timer_;
};

// Seams of the flow for tests: the dialog (filled and accepted by the test) and the
// progress dialog (run to its end by the test).
struct AddDirectoryFlowHooks {
    std::function<int(CPWTDlgAddDir&)> run_dialog;
    std::function<int(CAddDirProgressDlg&)> run_progress;
};

AddDirectoryOutcome RunAddDirectoryFlow(const PageContext& context, QWidget* parent,
                                        const AddDirectoryFlowHooks& hooks = {});

// Both dialogs as the screenshot tour shows them.
std::vector<ScreenshotDialog> AddDirectoryScreenshotDialogs();

}  // namespace wharfkeep::ui
