#pragma once
// CPWTPublishFormView: the publish page (dialog 310), the operator's view of one directory.
// It lists the directory's media files with size, state and dates, filters them by state,
// publishes, withdraws and exports them through the host, and shows the local path and the
// handed-out link of the selected file.
//
// Threading: user-interface thread only; the host reports publishing progress through the
// main window's messages, which the shell hands to UpdateMediaLine.

#include <QPointer>
#include <QTimer>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "media_list_model.h"
#include "wharfkeep/ui/page.h"

class QAction;
class QComboBox;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableView;

namespace wharfkeep::ui {

class CPWTPublishFormView : public CPWTPage {
    Q_OBJECT
public:
    // The percentage of the file being restructured now, when the engine can tell.
    using ProgressSource = std::function<std::optional<int>()>;

    CPWTPublishFormView(const PageContext& context, QWidget* parent = nullptr);
    ~CPWTPublishFormView() override;

    // CPWTPage
    void OnPageShown() override;
    void OnPageHidden() override;
    void ShowDirectory(const std::string& path) override;
    void ClearView() override;
    void UpdateMediaLine(const MediaRecord& record) override;
    void ShowMedia(const MediaRecord& record) override;
    std::vector<ScreenshotDialog> ScreenshotDialogs() override;

    // The buttons and commands.
    void PublishAll();          // "发布"
    void PublishSelected();     // "发布视频"
    void UnpublishDirectory();  // "取消发布" (button)
    void UnpublishSelected();   // "取消发布" (menu)
    void ExportListed();        // "导出链接"
    void ExportSelected();      // "导出视频链接"
    void Refresh();             // "刷新"
    void OpenSelectedFolder();  // "打开文件夹", "打开所在文件夹"
    void CopyLink();            // "复制链接"
    // Sets the context menu's states from the selected lines and shows it at `global`.
    void ShowContextMenu(const QPoint& global);
    void UpdateContextMenuStates();
    // A header click: sort by that column.
    void SortByColumn(int column);

    // One tick of the progress display (normally once a second while the page is shown).
    void RefreshProgress();
    void SetProgressSource(ProgressSource source) { progress_source_ = std::move(source); }
    void SetProgressInterval(int milliseconds) { progress_timer_.setInterval(milliseconds); }

    const std::string& DirectoryPath() const { return directory_; }
    PublishMediaModel& Model() { return model_; }
    MediaSortProxy& Proxy() { return proxy_; }
    QTableView& List() const { return *list_; }
    QMenu& ContextMenu() const { return *menu_; }
    // Lines in display order, and the selected ones in display order (model rows).
    std::vector<int> ListedRows() const;
    std::vector<int> SelectedRows() const;

private:
    void BuildControls();
    void BuildContextMenu();
    // Lists the directory's rows that the state filter selects.
    void LoadDirectory();
    // The selection changed: show the first selected line's details when it is new.
    void ReportSelection();
    void ShowDetails(const MediaRecord& record);
    void ClearDetails();
    // Marks the rows waiting and has the host queue them (see DirectoryOperations::Publish).
    void Queue(const std::vector<int>& rows, const std::string* directory);
    void Withdraw(const std::vector<int>& rows, bool whole_directory);
    void Export(const std::vector<int>& rows);
    std::vector<int> Filter(const std::vector<int>& rows,
                            const std::function<bool(const MediaRecord&)>& keep) const;
    std::vector<MediaRecord> Copies(const std::vector<int>& rows) const;

    PublishMediaModel model_;
    MediaSortProxy proxy_;
    std::string directory_;
    // LocalPath of the line whose details are shown, empty when none.
    std::string reported_path_;
    ProgressSource progress_source_;
    QTimer progress_timer_;

    QPushButton* publish_button_ = nullptr;
    QPushButton* unpublish_button_ = nullptr;
    QPushButton* export_button_ = nullptr;
    QPushButton* refresh_button_ = nullptr;
    QComboBox* filter_ = nullptr;
    QTableView* list_ = nullptr;
    QLineEdit* local_path_ = nullptr;
    QLineEdit* link_ = nullptr;
    QPushButton* open_folder_button_ = nullptr;
    QPushButton* copy_link_button_ = nullptr;
    QMenu* menu_ = nullptr;
    QAction* publish_action_ = nullptr;
    QAction* unpublish_action_ = nullptr;
    QAction* export_action_ = nullptr;
    QAction* open_folder_action_ = nullptr;
};

// The filter entries of the drop-down list, in order, and the State each selects (none for
// "全部").
inline constexpr int kStateFilterCount = 5;
std::optional<int> StateOfFilter(int filter_index);

}  // namespace wharfkeep::ui
