#pragma once
// CPWTGuiderTree: the navigation tree on the left of the main window. It shows the host's
// navigation model (one item per node, the item's data is its node), turns selections into
// navigation messages to the main window, and runs the commands of its two context menus.

#include <QTreeWidget>

#include <functional>
#include <memory>
#include <string>

#include "wharfkeep/host/navigation.h"

class QMenu;

namespace wharfkeep::host {
class Host;
class MessageSink;
}  // namespace wharfkeep::host

namespace wharfkeep::ui {

class Prompter;

inline constexpr const char* kExportQuestion =
    QT_TRANSLATE_NOOP("wharfkeep::ui::CPWTGuiderTree", "将在桌面创建视频URL文件");
inline constexpr const char* kUnpublishDirectoryQuestion =
    QT_TRANSLATE_NOOP("wharfkeep::ui::CPWTGuiderTree", "您确定取消发布整个目录吗?");
inline constexpr const char* kRemoveDirectoryQuestion = QT_TRANSLATE_NOOP(
    "wharfkeep::ui::CPWTGuiderTree", "移除的目录会被取消发布，您确定移除目录吗？");

class CPWTGuiderTree : public QTreeWidget {
    Q_OBJECT
public:
    CPWTGuiderTree(host::Host& host, host::MessageSink& main_window, Prompter& prompter,
                   QWidget* parent = nullptr);

    // Fills the tree from the navigation model (the tree's first update).
    void Build();
    // The width that shows every label whole, with its icon and indentation.
    int ContentWidth() const;
    static host::CPWTGuiderTreeNode* NodeOf(const QTreeWidgetItem* item);
    QTreeWidgetItem* ItemOf(const host::CPWTGuiderTreeNode* node) const;
    QTreeWidgetItem* DirectoryRootItem() const { return directory_root_; }
    QTreeWidgetItem* SettingsItem() const { return settings_; }
    host::CPWTGuiderTreeNode* SelectedNode() const;

    // Selects the first directory item for `path` (exact path, else a prefix of it).
    // With `notify` false the selection posts no navigation message.
    bool SelectDirectory(const std::string& path, bool notify = true);
    // Rewrites every directory item's "%s (%d/%d)" text from its node.
    void RedrawDirectoryLabels();
    // Inserts the item of a node just appended to the directory root and selects it.
    QTreeWidgetItem* InsertDirectoryNode(host::CPWTGuiderTreeNode* node);

    // The context menu for a right click on `item` (null: empty space): menu 316 on a
    // directory item, menu 317 elsewhere. Remembers the item for the commands.
    std::unique_ptr<QMenu> ContextMenuFor(QTreeWidgetItem* item);
    // Runs a menu command (ids 32775 to 32787, ui_ids.h).
    void RunCommand(int command);
    // Offers "退出" on the empty-space menu (when the desktop has no tray).
    void SetExitOnSpaceMenu(bool offer) { exit_on_space_menu_ = offer; }
    void SetRightClicked(QTreeWidgetItem* item) { right_clicked_ = item; }

signals:
    // The add-directory flow (the node's "添加新的目录" or command 32787).
    void addDirectoryRequested();
    // A file to open with the desktop (an exported link list).
    void openFileRequested(const QString& path);
    // WM_APP_CLEAR_PUBLISH_VIEW, sent before a directory is removed.
    void clearPublishViewRequested();
    // WM_APP_OPEN_FOLDER, sent for "打开所在文件夹".
    void openFolderRequested(const QString& path);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QTreeWidgetItem* AddItem(QTreeWidgetItem* parent, host::CPWTGuiderTreeNode* node);
    void OnCurrentItemChanged(QTreeWidgetItem* current);
    void OnItemClicked(QTreeWidgetItem* item);
    void ExportAndOpen(const std::optional<std::string>& directory);
    std::string RightClickedPath() const;

    host::Host& host_;
    host::MessageSink& main_window_;
    Prompter& prompter_;
    QTreeWidgetItem* directory_root_ = nullptr;
    QTreeWidgetItem* settings_ = nullptr;
    QTreeWidgetItem* right_clicked_ = nullptr;
    bool notify_selection_ = true;
    bool exit_on_space_menu_ = false;
};

// The tree image of a node kind (0..9), from the program's icon set.
QIcon TreeImage(int kind);

}  // namespace wharfkeep::ui
