#include "guider_tree.h"

#include <QTreeWidgetItemIterator>

#include <algorithm>

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QIcon>
#include <QMenu>

#include <mutex>
#include <optional>

#include "wharfkeep/host/host.h"
#include "wharfkeep/ui/prompter.h"
#include "wharfkeep/ui/translations.h"
#include "wharfkeep/ui/ui_ids.h"

namespace wharfkeep::ui {

using host::AppMessage;
using host::AppPayload;
using host::CPWTGuiderTreeNode;

namespace {

// Images by node kind: 0 status, 1 directory root, 5 export, 6 monitor, 7 settings,
// 8 IP filter, 9 help, 3 a directory, 2 "add a directory".
int ImageIndex(int kind) {
    switch (kind) {
        case host::kNodeStatus:
            return 0;
        case host::kNodeDirectoryRoot:
            return 1;
        case host::kNodeExportLinks:
            return 5;
        case host::kNodeConnectionMonitor:
            return 6;
        case host::kNodeSettings:
            return 7;
        case host::kNodeIpFilter:
            return 8;
        case host::kNodeHelp:
            return 9;
        case host::kNodeDirectory:
            return 3;
        case host::kNodeAddDirectory:
        default:
            return 2;
    }
}

QString ItemText(const CPWTGuiderTreeNode& node) {
    if (node.kind == host::kNodeDirectory) {
        return QString::fromStdString(host::DirectoryItemText(node));
    }
    return NavigationText(node.label);
}

}  // namespace

QIcon TreeImage(int kind) {
    return QIcon(QStringLiteral(":/icons/tree-%1.svg").arg(ImageIndex(kind)));
}

CPWTGuiderTree::CPWTGuiderTree(host::Host& host, host::MessageSink& main_window, Prompter& prompter,
                               QWidget* parent)
    : QTreeWidget(parent), host_(host), main_window_(main_window), prompter_(prompter) {
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setItemsExpandable(true);
    setIconSize(QSize(16, 16));
    setIndentation(14);
    setSelectionMode(QAbstractItemView::SingleSelection);
    // Long directory names scroll sideways rather than being cut short.
    setTextElideMode(Qt::ElideNone);
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    connect(this, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { OnCurrentItemChanged(current); });
    connect(this, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* item, int) { OnItemClicked(item); });
}

QTreeWidgetItem* CPWTGuiderTree::AddItem(QTreeWidgetItem* parent, CPWTGuiderTreeNode* node) {
    auto* item = parent != nullptr ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(this);
    item->setText(0, ItemText(*node));
    item->setIcon(0, TreeImage(node->kind));
    item->setData(0, Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(node)));
    return item;
}

void CPWTGuiderTree::Build() {
    QSignalBlocker quiet(this);
    clear();
    directory_root_ = nullptr;
    settings_ = nullptr;
    right_clicked_ = nullptr;
    std::lock_guard lock(host_.Navigation().Mutex());
    for (const auto& node : host_.Navigation().Nodes()) {
        QTreeWidgetItem* item = AddItem(nullptr, node.get());
        if (node->kind == host::kNodeDirectoryRoot) {
            directory_root_ = item;
        } else if (node->kind == host::kNodeSettings) {
            settings_ = item;
        }
        for (const auto& child : node->children) {
            AddItem(item, child.get());
        }
        if (!node->children.empty()) {
            item->setExpanded(true);
        }
    }
}

int CPWTGuiderTree::ContentWidth() const {
    // Every item, not only those the view has laid out yet: its icon and text as the delegate
    // draws them, and its indentation.
    int widest = 0;
    for (QTreeWidgetItemIterator it(const_cast<CPWTGuiderTree*>(this)); *it != nullptr; ++it) {
        int depth = rootIsDecorated() ? 1 : 0;
        for (const QTreeWidgetItem* parent = (*it)->parent(); parent != nullptr;
             parent = parent->parent()) {
            ++depth;
        }
        widest =
            std::max(widest, sizeHintForIndex(indexFromItem(*it)).width() + depth * indentation());
    }
    return widest + 2 * frameWidth() + 4;
}

CPWTGuiderTreeNode* CPWTGuiderTree::NodeOf(const QTreeWidgetItem* item) {
    if (item == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<CPWTGuiderTreeNode*>(item->data(0, Qt::UserRole).value<quintptr>());
}

QTreeWidgetItem* CPWTGuiderTree::ItemOf(const CPWTGuiderTreeNode* node) const {
    for (QTreeWidgetItemIterator it(const_cast<CPWTGuiderTree*>(this)); *it; ++it) {
        if (NodeOf(*it) == node) {
            return *it;
        }
    }
    return nullptr;
}

CPWTGuiderTreeNode* CPWTGuiderTree::SelectedNode() const {
    return NodeOf(currentItem());
}

bool CPWTGuiderTree::SelectDirectory(const std::string& path, bool notify) {
    std::vector<CPWTGuiderTreeNode*> nodes = host_.Navigation().FindDirectoryNodes(path);
    if (nodes.empty()) {
        return false;
    }
    QTreeWidgetItem* item = ItemOf(nodes.front());
    if (item == nullptr) {
        return false;
    }
    notify_selection_ = notify;
    setCurrentItem(item);
    notify_selection_ = true;
    return true;
}

void CPWTGuiderTree::RedrawDirectoryLabels() {
    if (directory_root_ == nullptr) {
        return;
    }
    std::lock_guard lock(host_.Navigation().Mutex());
    for (int i = 0; i < directory_root_->childCount(); ++i) {
        QTreeWidgetItem* item = directory_root_->child(i);
        if (const CPWTGuiderTreeNode* node = NodeOf(item)) {
            item->setText(0, ItemText(*node));
        }
    }
}

QTreeWidgetItem* CPWTGuiderTree::InsertDirectoryNode(CPWTGuiderTreeNode* node) {
    if (node == nullptr || directory_root_ == nullptr) {
        return nullptr;
    }
    QTreeWidgetItem* item = AddItem(directory_root_, node);
    directory_root_->setExpanded(true);
    setCurrentItem(item);
    return item;
}

void CPWTGuiderTree::OnCurrentItemChanged(QTreeWidgetItem* current) {
    const CPWTGuiderTreeNode* node = NodeOf(current);
    if (node == nullptr || !notify_selection_) {
        return;
    }
    if (node->level == 0) {
        main_window_.post(AppMessage::WM_APP_NAVIGATE_PAGE, node->kind, {});
    } else if (node->kind == host::kNodeDirectory) {
        main_window_.post(AppMessage::WM_APP_NAVIGATE_DIRECTORY, host::kNodeDirectory,
                          AppPayload::Text(node->path));
    }
}

void CPWTGuiderTree::OnItemClicked(QTreeWidgetItem* item) {
    const CPWTGuiderTreeNode* node = NodeOf(item);
    if (node == nullptr) {
        return;
    }
    if (node->kind == host::kNodeAddDirectory) {
        emit addDirectoryRequested();
    } else if (node->kind == host::kNodeExportLinks) {
        if (prompter_.OkCancel(tr(kExportQuestion), kApplicationTitle)) {
            ExportAndOpen(std::nullopt);
        }
    }
}

void CPWTGuiderTree::ExportAndOpen(const std::optional<std::string>& directory) {
    if (std::optional<std::filesystem::path> file = host_.Directories().ExportLinks(directory)) {
        emit openFileRequested(QString::fromStdString(file->string()));
    }
}

void CPWTGuiderTree::contextMenuEvent(QContextMenuEvent* event) {
    std::unique_ptr<QMenu> menu = ContextMenuFor(itemAt(event->pos()));
    QAction* chosen = menu->exec(event->globalPos());
    if (chosen != nullptr) {
        RunCommand(chosen->data().toInt());
    }
}

std::unique_ptr<QMenu> CPWTGuiderTree::ContextMenuFor(QTreeWidgetItem* item) {
    right_clicked_ = item;
    auto menu = std::make_unique<QMenu>();
    auto add = [&menu](int command, const QString& text) {
        QAction* action = menu->addAction(text);
        action->setData(command);
        action->setObjectName(ObjectId(command));
    };
    const CPWTGuiderTreeNode* node = NodeOf(item);
    if (node != nullptr && node->kind == host::kNodeDirectory) {
        menu->setObjectName(ObjectId(ids::kMenuTreeNode));
        add(ids::kCmdPublishDirectory, tr("发布此目录"));
        add(ids::kCmdUnpublishDirectory, tr("取消发布此目录"));
        menu->addSeparator();
        add(ids::kCmdExportDirectory, tr("导出链接"));
        add(ids::kCmdOpenDirectory, tr("打开所在文件夹"));
        menu->addSeparator();
        add(ids::kCmdWatchDirectory, tr("监视此目录"));
        QAction* watch = menu->actions().back();
        watch->setCheckable(true);
        watch->setChecked(host_.Watched().IsWatched(node->path));
        add(ids::kCmdRemoveDirectory, tr("移除目录"));
    } else {
        menu->setObjectName(ObjectId(ids::kMenuTreeSpace));
        add(ids::kCmdAddDirectory, tr("添加新的目录"));
        add(ids::kCmdExportAll, tr("导出所有视频链接"));
        if (exit_on_space_menu_) {
            menu->addSeparator();
            add(ids::kCmdExit, tr("退出"));
        }
    }
    return menu;
}

std::string CPWTGuiderTree::RightClickedPath() const {
    const CPWTGuiderTreeNode* node = NodeOf(right_clicked_);
    return node != nullptr && node->kind == host::kNodeDirectory ? node->path : std::string();
}

void CPWTGuiderTree::RunCommand(int command) {
    const std::string path = RightClickedPath();
    switch (command) {
        case ids::kCmdPublishDirectory:
            if (!path.empty()) {
                main_window_.post(AppMessage::WM_APP_PUBLISH_DIRECTORY, 0, AppPayload::Text(path));
            }
            break;
        case ids::kCmdUnpublishDirectory:
            if (!path.empty() &&
                prompter_.YesNo(tr(kUnpublishDirectoryQuestion), kApplicationTitle) &&
                main_window_.window_exists()) {
                main_window_.post(AppMessage::WM_APP_UNPUBLISH_DIRECTORY, 0,
                                  AppPayload::Text(path));
            }
            break;
        case ids::kCmdExportDirectory:
            // The directory the menu was opened on, which need not be the selected one.
            if (!path.empty() && prompter_.OkCancel(tr(kExportQuestion), kApplicationTitle)) {
                ExportAndOpen(path);
            }
            break;
        case ids::kCmdOpenDirectory:
            if (!path.empty()) {
                emit openFolderRequested(QString::fromStdString(path));
            }
            break;
        case ids::kCmdWatchDirectory:
            if (!path.empty()) {
                host_.Watched().SetWatched(path, !host_.Watched().IsWatched(path));
            }
            break;
        case ids::kCmdRemoveDirectory:
            if (!path.empty() && prompter_.YesNo(tr(kRemoveDirectoryQuestion), kApplicationTitle) &&
                main_window_.window_exists()) {
                emit clearPublishViewRequested();
                QTreeWidgetItem* item = right_clicked_;
                right_clicked_ = nullptr;
                // The item goes before its node: nothing may reach the node once the host
                // has destroyed it.
                delete item;
                host_.Directories().RemoveDirectory(path);
            }
            break;
        case ids::kCmdExportAll:
            if (prompter_.OkCancel(tr(kExportQuestion), kApplicationTitle)) {
                ExportAndOpen(std::nullopt);
            }
            break;
        case ids::kCmdAddDirectory:
            emit addDirectoryRequested();
            break;
        case ids::kCmdExit:
            main_window_.post(AppMessage::WM_APP_EXIT, 0, {});
            break;
        default:
            break;
    }
}

}  // namespace wharfkeep::ui
