// The main window: splitter rule, navigation tree, published counts, page switching,
// closing, status bar, settings focus, tree commands and the tray menu.

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QSplitterHandle>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include "file_text.h"
#include "guider_tree.h"
#include "splitter.h"
#include "ui_test_support.h"
#include "wharfkeep/host/host_test_access.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/ui/application.h"
#include "wharfkeep/ui/translations.h"
#include "wharfkeep/ui/ui_ids.h"

using namespace wharfkeep;
using namespace wharfkeep::ui;
using namespace wharfkeep::ui::testing;
using host::AppMessage;
using host::AppPayload;
using platform::testing::file_text;

namespace {

QTreeWidgetItem* ItemOfKind(CPWTGuiderTree& tree, int kind, const std::string& path = {}) {
    for (QTreeWidgetItemIterator it(&tree); *it; ++it) {
        const host::CPWTGuiderTreeNode* node = CPWTGuiderTree::NodeOf(*it);
        if (node != nullptr && node->kind == kind && (path.empty() || node->path == path)) {
            return *it;
        }
    }
    return nullptr;
}

void AddPublished(ResourceDatabase& db, const std::string& path, const std::string& cid) {
    db.AddMedia(path, 1000, "2026-01-01 00:00:00");
    MediaRecord record;
    record.local_path = path;
    record.file_size = 1000;
    record.state = 1;
    record.cid = cid;
    record.url = "pvessa://url=http://10.1.2.3:8190/x|sid=1|key=2|name=" + path;
    record.sts_path = path + ".sts";
    record.file_date = "2026-01-01 00:00:00";
    record.publish_date = "2026-01-02 00:00:00";
    db.StoreMedia(record);
}

}  // namespace

class ShellTest : public QObject {
    Q_OBJECT
private slots:
    void splitterRefusesDividerTooFarLeftOrRight();
    void englishNavigationLabelsAreShownWholeAt800x600();
    void treeShowsTheHostsNavigationModel();
    void publishedCountShowsTheRecountedFigures();
    void selectionSwitchesPages();
    void closingHidesOrMinimisesWithoutTray();
    void statusBarFollowsAccessAndServiceState();
    void gotoSettingFocusesTheField();
    void treeMenusOfferTheirCommands();
    void exportUsesTheRightClickedDirectory();
    void removeDirectoryForgetsItemAndRows();
    void unpublishAsksFirst();
    void locateMediaSelectsTheFilesDirectory();
    void trayMenuFollowsServiceState();
    void exitStopsServicesAndClosesWindow();
    void sinkCarriesPostsFromOtherThreads();
};

void ShellTest::splitterRefusesDividerTooFarLeftOrRight() {
    QVERIFY(!CPWTSplitterWnd::DividerAllowed(119, 800, 4));
    QVERIFY(CPWTSplitterWnd::DividerAllowed(120, 800, 4));
    QVERIFY(CPWTSplitterWnd::DividerAllowed(296, 800, 4));   // leaves exactly 500
    QVERIFY(!CPWTSplitterWnd::DividerAllowed(297, 800, 4));  // leaves 499

    TestFolder folder;
    folder.PrepareDatabase();
    Shell shell;
    QVERIFY(shell.ShowAtDesignedSize());
    CPWTSplitterWnd& splitter = shell.frame->Splitter();
    // As wide as the navigation's labels, between the designed 140 and 260.
    QTRY_COMPARE(splitter.DividerPosition(),
                 std::clamp(shell.frame->Tree().ContentWidth(), 140, 260));
    const int start = splitter.DividerPosition();
    QVERIFY(!splitter.TryMoveDivider(100));
    QCOMPARE(splitter.DividerPosition(), start);
    const int too_far = splitter.width() - splitter.handleWidth() - 499;
    QVERIFY(!splitter.TryMoveDivider(too_far));
    QCOMPARE(splitter.DividerPosition(), start);
    QVERIFY(splitter.TryMoveDivider(150));
    QCOMPARE(splitter.DividerPosition(), 150);

    // A drag with the mouse goes through the same rule.
    QSplitterHandle* handle = splitter.handle(1);
    QTest::mousePress(handle, Qt::LeftButton, {}, QPoint(1, 10));
    QTest::mouseMove(handle, QPoint(1 - 150, 10));  // to x = 50
    QTest::mouseRelease(handle, Qt::LeftButton, {}, QPoint(1 - 150, 10));
    QCOMPARE(splitter.DividerPosition(), 150);
}

void ShellTest::englishNavigationLabelsAreShownWholeAt800x600() {
    // The English labels ("Connection monitor", "Published folders") are the longer ones.
    QVERIFY(InstallTranslations(WindowLanguage::English));
    struct BackToChinese {
        ~BackToChinese() { InstallTranslations(WindowLanguage::Chinese); }
    } back_to_chinese;
    TestFolder folder;
    folder.PrepareDatabase();
    Shell shell;
    QVERIFY(shell.ShowAtDesignedSize());
    // What the tree's own layout asks for, once shown, is within what it was given.
    const QAbstractItemView& tree = shell.frame->Tree();
    const int needed = std::max(shell.frame->Tree().ContentWidth(), tree.sizeHintForColumn(0));
    QVERIFY2(needed > 140, qPrintable(QString::number(needed)));
    QTRY_VERIFY2(
        shell.frame->Splitter().DividerPosition() >= needed,
        qPrintable(QString("%1 < %2").arg(shell.frame->Splitter().DividerPosition()).arg(needed)));
}

void ShellTest::treeShowsTheHostsNavigationModel() {
    TestFolder folder;
    folder.PrepareDatabase([](ResourceDatabase& db) {
        db.AddDirectory("/media/films/", "films", 7);
        db.AddDirectory("/media/news/", "news", 2);
        db.UpdateDirectory(std::vector<DirectoryValue>{{DirectoryColumn::PublishedCount, "3"}},
                           "/media/films/");
    });
    Shell shell;
    CPWTGuiderTree& tree = shell.frame->Tree();
    QStringList top;
    for (int i = 0; i < tree.topLevelItemCount(); ++i) {
        top << tree.topLevelItem(i)->text(0);
        QVERIFY(!tree.topLevelItem(i)->icon(0).isNull());
    }
    QCOMPARE(top, QStringList({"状态信息", "发布目录管理", "导出链接", "连接监控", "选项设置",
                               "IP过滤", "帮助说明"}));
    QTreeWidgetItem* root = tree.DirectoryRootItem();
    QVERIFY(root != nullptr && root->isExpanded());
    QCOMPARE(root->childCount(), 3);
    QCOMPARE(root->child(0)->text(0), QString("添加新的目录"));
    QCOMPARE(root->child(1)->text(0), QString("films (3/7)"));
    QCOMPARE(root->child(2)->text(0), QString("news (0/2)"));
    QCOMPARE(CPWTGuiderTree::NodeOf(root->child(1))->path, std::string("/media/films/"));
    QCOMPARE(tree.SettingsItem()->text(0), QString("选项设置"));
}

void ShellTest::publishedCountShowsTheRecountedFigures() {
    TestFolder folder;
    folder.PrepareDatabase([](ResourceDatabase& db) {
        db.AddDirectory("/m/", "m", 5);
        db.AddDirectory("/m/sub/", "sub", 2);
        db.AddDirectory("/other/", "other", 1);
    });
    Shell shell;
    CPWTGuiderTree& tree = shell.frame->Tree();
    // The host recounted the two directories holding a file; the third keeps its figure.
    shell.host->Events().Notify(host::PublishedCountChanged{{{"/m/", 1}, {"/m/sub/", 1}}});
    Shell::Settle();
    QCOMPARE(ItemOfKind(tree, host::kNodeDirectory, "/m/")->text(0), QString("m (1/5)"));
    QCOMPARE(ItemOfKind(tree, host::kNodeDirectory, "/m/sub/")->text(0), QString("sub (1/2)"));
    QCOMPARE(ItemOfKind(tree, host::kNodeDirectory, "/other/")->text(0), QString("other (0/1)"));
    // A figure is the count, not a step: the same recount twice shows the same label.
    shell.host->Events().Notify(host::PublishedCountChanged{{{"/m/sub/", 2}}});
    shell.host->Events().Notify(host::PublishedCountChanged{{{"/m/sub/", 2}}});
    Shell::Settle();
    QCOMPARE(ItemOfKind(tree, host::kNodeDirectory, "/m/")->text(0), QString("m (1/5)"));
    QCOMPARE(ItemOfKind(tree, host::kNodeDirectory, "/m/sub/")->text(0), QString("sub (2/2)"));
}

void ShellTest::selectionSwitchesPages() {
    TestFolder folder;
    folder.PrepareDatabase([](ResourceDatabase& db) { db.AddDirectory("/m/a/", "a", 0); });
    Shell shell;
    CPWTGuiderTree& tree = shell.frame->Tree();
    CPWTContainerView& container = shell.frame->Container();
    QCOMPARE(container.ShownPage(), shell.Page(PageSlot::StateInfo));

    tree.setCurrentItem(tree.SettingsItem());
    Shell::Settle();
    QCOMPARE(container.ShownPage(), shell.Page(PageSlot::ConfigSetting));
    QVERIFY(shell.Page(PageSlot::ConfigSetting)->isVisibleTo(shell.frame.get()));

    tree.setCurrentItem(ItemOfKind(tree, host::kNodeIpFilter));
    Shell::Settle();
    QCOMPARE(container.ShownPage(), shell.Page(PageSlot::IpFilter));

    tree.setCurrentItem(ItemOfKind(tree, host::kNodeDirectory, "/m/a/"));
    Shell::Settle();
    QCOMPARE(container.ShownPage(), shell.Page(PageSlot::Publish));

    // Export, help and "add a directory" change no page; help opens the help file.
    tree.setCurrentItem(ItemOfKind(tree, host::kNodeHelp));
    Shell::Settle();
    QCOMPARE(container.ShownPage(), shell.Page(PageSlot::Publish));
    QCOMPARE(shell.opened.size(), std::size_t{1});
    QVERIFY(shell.opened.front().toLocalFile().endsWith("/help.html"));
    shell.prompter.answers = {false};
    tree.setCurrentItem(ItemOfKind(tree, host::kNodeExportLinks));
    Shell::Settle();
    QCOMPARE(container.ShownPage(), shell.Page(PageSlot::Publish));

    tree.setCurrentItem(ItemOfKind(tree, host::kNodeConnectionMonitor));
    Shell::Settle();
    QCOMPARE(container.ShownPage(), shell.Page(PageSlot::ConnectionMonitor));
    tree.setCurrentItem(ItemOfKind(tree, host::kNodeStatus));
    Shell::Settle();
    QCOMPARE(container.ShownPage(), shell.Page(PageSlot::StateInfo));
}

void ShellTest::closingHidesOrMinimisesWithoutTray() {
    TestFolder folder;
    folder.PrepareDatabase();
    {
        Shell shell(true);
        shell.frame->show();
        QVERIFY(QTest::qWaitForWindowExposed(shell.frame.get()));
        QVERIFY(!shell.frame->close());  // refused: the window only hides
        QVERIFY(!shell.frame->isVisible());
        shell.frame->BringForward();
        QVERIFY(shell.frame->isVisible());
    }
    {
        Shell shell(false);
        shell.frame->show();
        QVERIFY(QTest::qWaitForWindowExposed(shell.frame.get()));
        shell.frame->close();
        QVERIFY(shell.frame->isVisible());
        QVERIFY(shell.frame->isMinimized());
        shell.frame->BringForward();
        QVERIFY(!shell.frame->isMinimized());
        // Without a tray, "退出" is reachable from the tree.
        std::unique_ptr<QMenu> menu = shell.frame->Tree().ContextMenuFor(nullptr);
        QVERIFY(menu->findChild<QAction*>(ObjectId(ids::kCmdExit)) != nullptr);
    }
}

void ShellTest::statusBarFollowsAccessAndServiceState() {
    TestFolder folder;
    folder.PrepareDatabase();
    Shell shell;
    shell.sink.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 0, {});
    Shell::Settle();
    auto* text = shell.frame->findChild<QLabel*>("status_text");
    QCOMPARE(text->text(), QString("IP: 10.1.2.3    服务状态：未启动"));
    shell.host->Settings().SetAccess(1, "10.1.2.3", "video.example.org");
    Shell::Settle();
    QCOMPARE(text->text(), QString("域名: video.example.org    服务状态：未启动"));

    shell.host->Settings().SetTransferPort(platform::free_tcp_port());
    shell.host->Settings().SetProtocolPort(platform::free_tcp_port());
    QVERIFY(shell.host->Document().StartServices());
    Shell::Settle();
    QCOMPARE(text->text(), QString("域名: video.example.org    服务状态：已启动"));
    shell.host->Document().StopServices(true);
    Shell::Settle();
    QCOMPARE(text->text(), QString("域名: video.example.org    服务状态：未启动"));
}

void ShellTest::gotoSettingFocusesTheField() {
    TestFolder folder;
    folder.PrepareDatabase();
    Shell shell;
    QVERIFY(shell.ShowActive());
    shell.sink.post(AppMessage::WM_APP_GOTO_SETTING, host::kFieldProtocolPort, {});
    Shell::Settle();
    QCOMPARE(shell.frame->Container().ShownPage(), shell.Page(PageSlot::ConfigSetting));
    QCOMPARE(shell.frame->Tree().currentItem(), shell.frame->Tree().SettingsItem());
    auto* port = shell.Page(PageSlot::ConfigSetting)
                     ->findChild<QLineEdit*>(ObjectId(ids::kEditProtocolPort));
    QVERIFY(port->hasFocus());
    QCOMPARE(port->selectedText(), QString("8190"));
    // Again while the page is shown already.
    shell.sink.post(AppMessage::WM_APP_GOTO_SETTING, host::kFieldTransferPort, {});
    Shell::Settle();
    auto* transfer = shell.Page(PageSlot::ConfigSetting)
                         ->findChild<QLineEdit*>(ObjectId(ids::kEditTransferPort));
    QVERIFY(transfer->hasFocus());
    QCOMPARE(transfer->selectedText(), QString("8189"));
}

void ShellTest::treeMenusOfferTheirCommands() {
    TestFolder folder;
    folder.PrepareDatabase([](ResourceDatabase& db) { db.AddDirectory("/m/a/", "a", 0); });
    Shell shell;
    CPWTGuiderTree& tree = shell.frame->Tree();
    auto commands = [](QMenu& menu) {
        QStringList texts;
        for (QAction* action : menu.actions()) {
            if (!action->isSeparator()) {
                texts << action->text();
            }
        }
        return texts;
    };
    std::unique_ptr<QMenu> node_menu =
        tree.ContextMenuFor(ItemOfKind(tree, host::kNodeDirectory, "/m/a/"));
    QCOMPARE(node_menu->objectName(), ObjectId(ids::kMenuTreeNode));
    QCOMPARE(commands(*node_menu), QStringList({"发布此目录", "取消发布此目录", "导出链接",
                                                "打开所在文件夹", "监视此目录", "移除目录"}));
    std::unique_ptr<QMenu> space_menu = tree.ContextMenuFor(tree.SettingsItem());
    QCOMPARE(space_menu->objectName(), ObjectId(ids::kMenuTreeSpace));
    QCOMPARE(commands(*space_menu), QStringList({"添加新的目录", "导出所有视频链接"}));

    // "打开所在文件夹" opens the right-clicked directory.
    tree.ContextMenuFor(ItemOfKind(tree, host::kNodeDirectory, "/m/a/"));
    tree.RunCommand(ids::kCmdOpenDirectory);
    QCOMPARE(shell.opened.size(), std::size_t{1});
    QCOMPARE(shell.opened.front().toLocalFile(), QString("/m/a/"));

    // "监视此目录" switches the watching of the right-clicked directory; its check mark shows it.
    auto watch_action = [&] {
        std::unique_ptr<QMenu> menu =
            tree.ContextMenuFor(ItemOfKind(tree, host::kNodeDirectory, "/m/a/"));
        return menu->findChild<QAction*>(ObjectId(ids::kCmdWatchDirectory))->isChecked();
    };
    QVERIFY(!watch_action());
    tree.RunCommand(ids::kCmdWatchDirectory);
    QVERIFY(shell.host->Watched().IsWatched("/m/a/"));
    QVERIFY(watch_action());
    tree.RunCommand(ids::kCmdWatchDirectory);
    QVERIFY(!shell.host->Watched().IsWatched("/m/a/"));
}

void ShellTest::exportUsesTheRightClickedDirectory() {
    TestFolder folder;
    folder.PrepareDatabase([](ResourceDatabase& db) {
        db.AddDirectory("/m/a/", "a", 1);
        db.AddDirectory("/m/b/", "b", 1);
        AddPublished(db, "/m/a/one.mp4", std::string(40, 'A'));
        AddPublished(db, "/m/b/two.mp4", std::string(40, 'B'));
    });
    Shell shell;
    CPWTGuiderTree& tree = shell.frame->Tree();
    tree.setCurrentItem(ItemOfKind(tree, host::kNodeDirectory, "/m/a/"));
    tree.ContextMenuFor(ItemOfKind(tree, host::kNodeDirectory, "/m/b/"));
    shell.prompter.answers = {true};
    tree.RunCommand(ids::kCmdExportDirectory);
    QCOMPARE(shell.prompter.questions, QStringList({"将在桌面创建视频URL文件"}));
    QCOMPARE(shell.opened.size(), std::size_t{1});
    std::string text = file_text(shell.opened.front().toLocalFile().toStdString());
    QVERIFY(text.find("/m/b/\r\ntwo.mp4\r\npvessa://") == 0);
    QVERIFY(text.find("one.mp4") == std::string::npos);

    // Cancel writes nothing; "导出所有视频链接" writes both directories.
    shell.prompter.answers = {false};
    tree.RunCommand(ids::kCmdExportAll);
    QCOMPARE(shell.opened.size(), std::size_t{1});
    shell.prompter.answers = {true};
    tree.RunCommand(ids::kCmdExportAll);
    QCOMPARE(shell.opened.size(), std::size_t{2});
    text = file_text(shell.opened.back().toLocalFile().toStdString());
    QVERIFY(text.find("one.mp4") != std::string::npos);
    QVERIFY(text.find("two.mp4") != std::string::npos);
    QVERIFY(shell.opened.back() != shell.opened.front());  // a new numbered file
}

void ShellTest::removeDirectoryForgetsItemAndRows() {
    TestFolder folder;
    folder.PrepareDatabase([](ResourceDatabase& db) {
        db.AddDirectory("/m/a/", "a", 1);
        db.AddMedia("/m/a/one.mp4", 10, "2026-01-01 00:00:00");
    });
    Shell shell;
    CPWTGuiderTree& tree = shell.frame->Tree();
    QTreeWidgetItem* item = ItemOfKind(tree, host::kNodeDirectory, "/m/a/");
    tree.setCurrentItem(item);
    Shell::Settle();

    shell.prompter.answers = {false};
    tree.ContextMenuFor(item);
    tree.RunCommand(ids::kCmdRemoveDirectory);
    QVERIFY(ItemOfKind(tree, host::kNodeDirectory, "/m/a/") != nullptr);

    shell.prompter.answers = {true};
    tree.ContextMenuFor(item);
    tree.RunCommand(ids::kCmdRemoveDirectory);
    Shell::Settle();
    QCOMPARE(shell.prompter.questions.back(),
             QString("移除的目录会被取消发布，您确定移除目录吗？"));
    QVERIFY(ItemOfKind(tree, host::kNodeDirectory, "/m/a/") == nullptr);
    QVERIFY(shell.host->Navigation().FindDirectoryNodes("/m/a/").empty());
    QVERIFY(shell.host->Library().Directories().empty());
    QCOMPARE(shell.host->Library().CountAll(), 0);
}

void ShellTest::unpublishAsksFirst() {
    TestFolder folder;
    folder.PrepareDatabase([](ResourceDatabase& db) {
        db.AddDirectory("/m/a/", "a", 1);
        AddPublished(db, "/m/a/one.mp4", std::string(40, 'C'));
        db.UpdateDirectory(std::vector<DirectoryValue>{{DirectoryColumn::PublishedCount, "1"}},
                           "/m/a/");
    });
    Shell shell;
    CPWTGuiderTree& tree = shell.frame->Tree();
    QTreeWidgetItem* item = ItemOfKind(tree, host::kNodeDirectory, "/m/a/");
    shell.prompter.answers = {false};
    tree.ContextMenuFor(item);
    tree.RunCommand(ids::kCmdUnpublishDirectory);
    Shell::Settle();
    QCOMPARE(shell.prompter.questions.back(), QString("您确定取消发布整个目录吗?"));
    QCOMPARE(shell.host->Library().ListedUnder("/m/a/").at(0).state, 1);

    shell.prompter.answers = {true};
    tree.RunCommand(ids::kCmdUnpublishDirectory);
    Shell::Settle();
    QCOMPARE(shell.host->Library().ListedUnder("/m/a/").at(0).state, 0);
    QCOMPARE(item->text(0), QString("a (0/1)"));
}

void ShellTest::locateMediaSelectsTheFilesDirectory() {
    TestFolder folder;
    const std::string cid(40, 'D');
    folder.PrepareDatabase([&cid](ResourceDatabase& db) {
        db.AddDirectory("/m/a/", "a", 0);
        db.AddDirectory("/m/b/", "b", 1);
        AddPublished(db, "/m/b/inner/clip.mp4", cid);
    });
    Shell shell;
    CPWTGuiderTree& tree = shell.frame->Tree();
    tree.setCurrentItem(ItemOfKind(tree, host::kNodeDirectory, "/m/a/"));
    Shell::Settle();
    shell.sink.post(AppMessage::WM_APP_LOCATE_MEDIA, 0, AppPayload::Text(cid));
    Shell::Settle();
    QCOMPARE(CPWTGuiderTree::NodeOf(tree.currentItem())->path, std::string("/m/b/"));
    QCOMPARE(shell.frame->Container().ShownPage(), shell.Page(PageSlot::Publish));
    // An unknown identifier changes nothing.
    shell.sink.post(AppMessage::WM_APP_LOCATE_MEDIA, 0, AppPayload::Text(std::string(40, 'E')));
    Shell::Settle();
    QCOMPARE(CPWTGuiderTree::NodeOf(tree.currentItem())->path, std::string("/m/b/"));
}

void ShellTest::trayMenuFollowsServiceState() {
    TestFolder folder;
    folder.PrepareDatabase();
    Shell shell;
    TrayController tray(shell.host->Document(), shell.sink, *shell.frame);
    QMenu& menu = tray.Menu();
    QCOMPARE(menu.objectName(), ObjectId(ids::kMenuNotifyIcon));
    QStringList texts;
    for (QAction* action : menu.actions()) {
        texts << (action->isSeparator() ? QString("-") : action->text());
    }
    QCOMPARE(texts, QStringList({"停止服务", "启动服务", "-", "退出"}));
    auto* stop = menu.findChild<QAction*>(ObjectId(ids::kCmdStopServices));
    auto* start = menu.findChild<QAction*>(ObjectId(ids::kCmdStartServices));
    emit menu.aboutToShow();
    QVERIFY(!stop->isEnabled());
    QVERIFY(start->isEnabled());

    shell.host->Settings().SetTransferPort(platform::free_tcp_port());
    shell.host->Settings().SetProtocolPort(platform::free_tcp_port());
    start->trigger();
    QVERIFY(shell.host->Document().ServicesRunning());
    emit menu.aboutToShow();
    QVERIFY(stop->isEnabled());
    QVERIFY(!start->isEnabled());
    QCOMPARE(shell.host->Settings().Setting(host::kVpAutoStart), 1u);

    stop->trigger();
    QVERIFY(!shell.host->Document().ServicesRunning());
    QCOMPARE(shell.host->Settings().Setting(host::kVpAutoStart), 0u);
    emit menu.aboutToShow();
    QVERIFY(!stop->isEnabled());

    // The left button brings a hidden window back, and so does the right one, which opens
    // the menu too.
    shell.frame->hide();
    tray.OnActivated(QSystemTrayIcon::Trigger);
    QVERIFY(shell.frame->isVisible());
    shell.frame->hide();
    tray.OnActivated(QSystemTrayIcon::Context);
    QVERIFY(shell.frame->isVisible());
    shell.frame->hide();
    emit menu.aboutToShow();
    QVERIFY(shell.frame->isVisible());
}

void ShellTest::exitStopsServicesAndClosesWindow() {
    TestFolder folder;
    folder.PrepareDatabase();
    Shell shell;
    shell.frame->show();
    shell.host->Settings().SetTransferPort(platform::free_tcp_port());
    shell.host->Settings().SetProtocolPort(platform::free_tcp_port());
    QVERIFY(shell.host->Document().StartServices());
    QSignalSpy starting(shell.frame.get(), &CMainFrame::exitStarting);
    QSignalSpy finished(shell.frame.get(), &CMainFrame::exitFinished);
    shell.sink.post(AppMessage::WM_APP_EXIT, 0, {});
    Shell::Settle();
    QCOMPARE(starting.count(), 1);
    QCOMPARE(finished.count(), 1);
    QVERIFY(!shell.host->Document().ServicesRunning());
    QVERIFY(!shell.frame->isVisible());
    // Exit leaves the autostart flag as it was, so the next start serves again.
    QCOMPARE(shell.host->Settings().Setting(host::kVpAutoStart), 1u);
}

void ShellTest::sinkCarriesPostsFromOtherThreads() {
    ScriptedPrompter prompter;
    QtMessageSink sink(prompter);
    // Posted before anybody listens: they wait for the handler, in order.
    sink.post(AppMessage::WM_APP_UPDATE_STATUS_BAR, 1, {});
    QCoreApplication::processEvents();
    std::vector<std::int64_t> received;
    std::vector<std::string> texts;
    sink.SetHandler([&](AppMessage, std::int64_t wparam, AppPayload& payload) {
        received.push_back(wparam);
        texts.push_back(payload.text);
    });
    QCOMPARE(received.size(), std::size_t{1});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&sink, t] {
            for (int i = 0; i < 250; ++i) {
                sink.post(AppMessage::WM_APP_ADJUST_PUBLISHED_COUNT, t * 1000 + i,
                          AppPayload::Text(std::to_string(t)));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    Shell::Settle();
    QCOMPARE(received.size(), std::size_t{1001});
    // Each thread's messages arrive in the order it posted them, with their payloads.
    std::vector<std::int64_t> last(4, -1);
    for (std::size_t i = 1; i < received.size(); ++i) {
        int thread = static_cast<int>(received[i] / 1000);
        QVERIFY(received[i] > last[thread]);
        last[thread] = received[i];
        QCOMPARE(texts[i], std::to_string(thread));
    }
}

QTEST_MAIN(ShellTest)
#include "shell_test.moc"
