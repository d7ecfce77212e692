// The publish page against a host on a temporary database: listing and filters, publishing
// and withdrawing, details and links, the context menu, export and progress.
#include <QtTest>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableView>

#include <fstream>
#include <sstream>

#include "file_text.h"
#include "publish_form_view.h"
#include "publish_ids.h"
#include "publish_test_support.h"
#include "wharfkeep/host/link_export.h"
#include "wharfkeep/host/media_state.h"
#include "wharfkeep/ui/ui_ids.h"

using namespace wharfkeep;
using namespace wharfkeep::ui;
using namespace wharfkeep::ui::testing;
using host::AppMessage;
using platform::testing::file_text;

namespace {

const std::string kDir = "/m/films/";

int StoredState(host::Host& host, const std::string& path) {
    const std::vector<MediaRecord> rows = host.Library().ListedUnder(path);
    return rows.empty() ? -100 : rows.front().state;
}

template <typename T>
T* Control(QWidget& page, int id) {
    T* control = page.findChild<T*>(ObjectId(id));
    if (control == nullptr) {
        qFatal("control %d missing", id);
    }
    return control;
}

QAction* Action(CPWTPublishFormView& page, int id) {
    return page.ContextMenu().findChild<QAction*>(ObjectId(id));
}

}  // namespace

class PublishPageTest : public QObject {
    Q_OBJECT

    std::unique_ptr<HostFixture> host_;
    std::unique_ptr<CPWTPublishFormView> page_;

    void Select(const std::vector<std::string>& paths) {
        QItemSelectionModel* selection = page_->List().selectionModel();
        selection->clearSelection();
        for (const std::string& path : paths) {
            int row = page_->Model().RowOf(path);
            QModelIndex line = page_->Proxy().mapFromSource(page_->Model().index(row, 0));
            selection->select(line, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    int ShownState(const std::string& path) {
        return page_->Model().Record(page_->Model().RowOf(path)).state;
    }
    QString ShownStateText(const std::string& path) {
        return page_->Model().index(page_->Model().RowOf(path), kColumnState).data().toString();
    }
    void Click(int id) { QTest::mouseClick(Control<QPushButton>(*page_, id), Qt::LeftButton); }
    bool QueueIdle() { return host_->host->Directories().PublishingIdle(); }
    std::vector<std::string> Published() {
        std::lock_guard lock(host_->engine->mutex);
        return host_->engine->published;
    }

private slots:
    void init() {
        host_ = std::make_unique<HostFixture>();
        host_->AddDirectory(kDir);
        host_->AddMedia(kDir + "a.mp4", 100, host::kNotPublished, "2026-01-03 00:00:00");
        host_->AddMedia(kDir + "b.mp4", 200, host::kFailed);
        host_->AddMedia(kDir + "c.rmvb", 300, host::kNotStreamable);
        host_->AddMedia(kDir + "d.mp4", 400, host::kPublished, "2026-01-01 00:00:00",
                        "pvessa://url=stored|sid=1|key=0|name=d.mp4");
        host_->AddMedia(kDir + "e.mp4", 500, host::kNotPublished);
        host_->AddMedia(kDir + "f.mp4", 600, host::kHeaderRejected);
        host_->AddMedia("/m/other/z.mp4", 1, host::kNotPublished);
        page_ = std::make_unique<CPWTPublishFormView>(host_->context());
        page_->ShowDirectory(kDir);
    }
    void cleanup() {
        page_.reset();
        host_.reset();
    }

    // Beside the navigation of an 800x600 window the page is about 600 wide: every column
    // shows its header and its lines whole, the file name takes the rest, nothing scrolls.
    void columnsAreSizedToTheirContentAndFillThePage() {
        page_->resize(600, 500);
        page_->show();
        QVERIFY(QTest::qWaitForWindowExposed(page_.get()));
        QTableView& list = page_->List();
        QHeaderView* header = list.horizontalHeader();
        const QAbstractItemView& lines = list;
        int total = 0;
        for (int column = 0; column < header->count(); ++column) {
            QVERIFY2(header->sectionSize(column) >= header->sectionSizeHint(column),
                     qPrintable(QString::number(column)));
            QVERIFY2(header->sectionSize(column) >= lines.sizeHintForColumn(column),
                     qPrintable(QString::number(column)));
            total += header->sectionSize(column);
        }
        QVERIFY2(total <= list.viewport()->width(), qPrintable(QString::number(total)));
        QVERIFY(header->sectionSize(kColumnName) > header->sectionSize(kColumnSize));
        // A wider page gives the file name the difference.
        const int name = header->sectionSize(kColumnName);
        page_->resize(700, 500);
        QTRY_COMPARE(header->sectionSize(kColumnName), name + 100);
    }

    void theFilterHasFiveEntriesAndEachQueriesItsState() {
        auto* filter = Control<QComboBox>(*page_, ids::kComboStateFilter);
        QCOMPARE(filter->count(), 5);
        QStringList texts;
        for (int i = 0; i < filter->count(); ++i) {
            texts << filter->itemText(i);
        }
        QCOMPARE(texts, (QStringList{"全部", "已发布", "未发布", "等待发布", "发布失败"}));
        QCOMPARE(filter->currentIndex(), 0);
        QCOMPARE(page_->Model().rowCount(), 6);  // the other directory's file is not listed
        const std::vector<std::pair<int, int>> expected{{1, 1}, {2, 2}, {3, 0}, {4, 1}};
        for (auto [index, count] : expected) {
            filter->setCurrentIndex(index);
            QCOMPARE(page_->Model().rowCount(), count);
        }
        // Unstreamable and rejected files appear only under "全部".
        filter->setCurrentIndex(0);
        QVERIFY(page_->Model().RowOf(kDir + "c.rmvb") >= 0);
        QVERIFY(page_->Model().RowOf(kDir + "f.mp4") >= 0);
    }

    void publishQueuesOnlyUnpublishedLines() {
        Click(ids::kButtonPublish);
        QCOMPARE(ShownState(kDir + "a.mp4"), host::kWaiting);
        QCOMPARE(ShownStateText(kDir + "e.mp4"), QStringLiteral("等待发布"));
        QCOMPARE(ShownState(kDir + "b.mp4"), host::kFailed);
        QCOMPARE(ShownState(kDir + "f.mp4"), host::kHeaderRejected);
        QVERIFY(host_->sink.PumpUntil(*host_->host, page_.get(), [&] {
            return QueueIdle() && ShownState(kDir + "a.mp4") == host::kPublished &&
                   ShownState(kDir + "e.mp4") == host::kPublished;
        }));
        auto published = Published();
        std::sort(published.begin(), published.end());
        QCOMPARE(published, (std::vector<std::string>{kDir + "a.mp4", kDir + "e.mp4"}));
        QCOMPARE(ShownState(kDir + "a.mp4"), host::kPublished);
        QCOMPARE(StoredState(*host_->host, kDir + "b.mp4"), host::kFailed);
        QCOMPARE(StoredState(*host_->host, "/m/other/z.mp4"), host::kNotPublished);
    }

    void publishUnderThePublishedFilterStoresWaitingWithoutQueueing() {
        Control<QComboBox>(*page_, ids::kComboStateFilter)->setCurrentIndex(1);
        QCOMPARE(page_->Model().rowCount(), 1);
        Click(ids::kButtonPublish);
        host_->sink.Pump(*host_->host, page_.get());
        QVERIFY(QueueIdle());
        QVERIFY(Published().empty());
        QCOMPARE(StoredState(*host_->host, kDir + "a.mp4"), host::kWaiting);
        QCOMPARE(StoredState(*host_->host, kDir + "e.mp4"), host::kWaiting);
        QCOMPARE(StoredState(*host_->host, kDir + "b.mp4"), host::kFailed);
        QCOMPARE(StoredState(*host_->host, "/m/other/z.mp4"), host::kNotPublished);
    }

    void publishOnAnEmptiedPageTouchesNothing() {
        page_->ClearView();
        Click(ids::kButtonPublish);
        Click(ids::kButtonUnpublish);
        Click(ids::kButtonExportLinks);
        QVERIFY(host_->prompter.boxes.empty());
        QCOMPARE(StoredState(*host_->host, kDir + "a.mp4"), host::kNotPublished);
        QCOMPARE(StoredState(*host_->host, "/m/other/z.mp4"), host::kNotPublished);
    }

    void publishKeepsToItsOwnDirectoryWhenThePathHoldsPatternCharacters() {
        host_->AddMedia("/m/a_b%'/x.mp4", 1, host::kNotPublished);
        host_->AddMedia("/m/aXb%'/y.mp4", 1, host::kNotPublished);
        host_->AddMedia("/m/a_bzz'/w.mp4", 1, host::kNotPublished);
        page_->ShowDirectory("/m/a_b%'/");
        QCOMPARE(page_->Model().rowCount(), 1);
        Click(ids::kButtonPublish);
        QVERIFY(host_->sink.PumpUntil(*host_->host, page_.get(),
                                      [&] { return QueueIdle() && !Published().empty(); }));
        QCOMPARE(Published(), std::vector<std::string>{"/m/a_b%'/x.mp4"});
        QCOMPARE(StoredState(*host_->host, "/m/aXb%'/y.mp4"), host::kNotPublished);
        QCOMPARE(StoredState(*host_->host, "/m/a_bzz'/w.mp4"), host::kNotPublished);
    }

    void publishSelectedQueuesTheSelectedUnpublishedLines() {
        Select({kDir + "a.mp4", kDir + "b.mp4", kDir + "d.mp4"});
        page_->PublishSelected();
        // The publisher stores its own progress at once: the queued line may already be
        // publishing or published, but never left as it was.
        const int queued = StoredState(*host_->host, kDir + "a.mp4");
        QVERIFY(queued == host::kWaiting || queued == host::kPublishing ||
                queued == host::kPublished);
        QCOMPARE(StoredState(*host_->host, kDir + "e.mp4"), host::kNotPublished);
        QVERIFY(host_->sink.PumpUntil(*host_->host, page_.get(),
                                      [&] { return QueueIdle() && !Published().empty(); }));
        QCOMPARE(Published(), std::vector<std::string>{kDir + "a.mp4"});
    }

    void theContextMenuFollowsTheSelectedStates() {
        struct Case {
            std::vector<std::string> selected;
            bool publish, unpublish, exported;
        };
        const std::vector<Case> cases{
            {{kDir + "a.mp4"}, true, false, false},
            {{kDir + "d.mp4"}, false, true, true},
            {{kDir + "b.mp4"}, false, true, false},
            {{kDir + "a.mp4", kDir + "d.mp4"}, true, true, true},
            {{kDir + "b.mp4", kDir + "f.mp4"}, false, true, false},
            {{kDir + "a.mp4", kDir + "e.mp4"}, true, false, false},
        };
        for (const Case& c : cases) {
            Select(c.selected);
            page_->UpdateContextMenuStates();
            QCOMPARE(Action(*page_, ids::kCmdPublishMedia)->isEnabled(), c.publish);
            QCOMPARE(Action(*page_, ids::kCmdUnpublishMedia)->isEnabled(), c.unpublish);
            QCOMPARE(Action(*page_, ids::kCmdExportMedia)->isEnabled(), c.exported);
            QVERIFY(Action(*page_, ids::kCmdOpenMediaFolder)->isEnabled());
        }
    }

    void detailsShowThePathAndTheEncodedRelinkedLink() {
        Select({kDir + "d.mp4"});
        QCOMPARE(Control<QLineEdit>(*page_, ids::kEditLocalPath)->text(),
                 QString::fromStdString(kDir + "d.mp4"));
        std::string relinked = "pvessa://url=stored|sid=1|key=0|name=d.mp4|relinked";
        QCOMPARE(Control<QLineEdit>(*page_, ids::kEditLink)->text(),
                 QString::fromStdString(host::EncodeLink(relinked)));
        // An unpublished file has no link.
        Select({kDir + "a.mp4"});
        QCOMPARE(Control<QLineEdit>(*page_, ids::kEditLocalPath)->text(),
                 QString::fromStdString(kDir + "a.mp4"));
        QVERIFY(Control<QLineEdit>(*page_, ids::kEditLink)->text().isEmpty());
    }

    void copyLinkPutsTheLinkOnTheClipboard() {
        QApplication::clipboard()->clear();
        Select({kDir + "a.mp4"});
        Click(ids::kButtonCopyLink);
        QVERIFY(host_->prompter.boxes.empty());  // nothing to copy
        Select({kDir + "d.mp4"});
        Click(ids::kButtonCopyLink);
        QCOMPARE(QApplication::clipboard()->text(),
                 Control<QLineEdit>(*page_, ids::kEditLink)->text());
        QVERIFY(QApplication::clipboard()->text().startsWith("pvessa://"));
        QCOMPARE(host_->prompter.boxes.size(), std::size_t{1});
        QCOMPARE(host_->prompter.boxes[0].text, QStringLiteral("复制链接成功！"));
        QCOMPARE(host_->prompter.boxes[0].caption, QStringLiteral("复制链接"));
        QCOMPARE(host_->prompter.boxes[0].icon, PromptIcon::Information);
    }

    void anUpdateOfAnotherLineLeavesTheShownDetailsAlone() {
        Select({kDir + "d.mp4"});
        QString link = Control<QLineEdit>(*page_, ids::kEditLink)->text();
        MediaRecord other = page_->Model().Record(page_->Model().RowOf(kDir + "a.mp4"));
        other.state = host::kPublished;
        other.url = "pvessa://url=other|sid=1|key=0|name=a.mp4";
        page_->UpdateMediaLine(other);
        QCOMPARE(Control<QLineEdit>(*page_, ids::kEditLocalPath)->text(),
                 QString::fromStdString(kDir + "d.mp4"));
        QCOMPARE(Control<QLineEdit>(*page_, ids::kEditLink)->text(), link);
        // The shown line's own change is shown.
        MediaRecord shown = page_->Model().Record(page_->Model().RowOf(kDir + "d.mp4"));
        shown.state = host::kNotPublished;
        shown.url.clear();
        page_->UpdateMediaLine(shown);
        QVERIFY(Control<QLineEdit>(*page_, ids::kEditLink)->text().isEmpty());
    }

    void showMediaSelectsOnlyThatFile() {
        Select({kDir + "a.mp4", kDir + "b.mp4"});
        MediaRecord wanted;
        wanted.local_path = kDir + "e.mp4";
        page_->ShowMedia(wanted);
        std::vector<int> selected = page_->SelectedRows();
        QCOMPARE(selected.size(), std::size_t{1});
        QCOMPARE(page_->Model().Record(selected[0]).local_path, kDir + "e.mp4");
        QCOMPARE(Control<QLineEdit>(*page_, ids::kEditLocalPath)->text(),
                 QString::fromStdString(kDir + "e.mp4"));
    }

    void withdrawingAsksFirstAndNoKeepsEverything() {
        host_->prompter.answer = false;
        Click(ids::kButtonUnpublish);
        QCOMPARE(host_->prompter.boxes.back().text, QStringLiteral("您确定取消发布整个目录吗?"));
        QCOMPARE(host_->prompter.boxes.back().caption, QStringLiteral("Wharfkeep"));
        Select({kDir + "d.mp4"});
        page_->UnpublishSelected();
        QCOMPARE(host_->prompter.boxes.back().text, QStringLiteral("您确定取消发布所选视频吗?"));
        host_->sink.Pump(*host_->host, page_.get());
        QCOMPARE(StoredState(*host_->host, kDir + "d.mp4"), host::kPublished);

        host_->prompter.answer = true;
        page_->UnpublishSelected();
        host_->sink.Pump(*host_->host, page_.get());
        QCOMPARE(StoredState(*host_->host, kDir + "d.mp4"), host::kNotPublished);
        QCOMPARE(ShownState(kDir + "d.mp4"), host::kNotPublished);
    }

    void withdrawingTheDirectoryResetsItsTouchedFiles() {
        Click(ids::kButtonUnpublish);
        host_->sink.Pump(*host_->host, page_.get());
        QCOMPARE(StoredState(*host_->host, kDir + "d.mp4"), host::kNotPublished);
        QCOMPARE(ShownState(kDir + "d.mp4"), host::kNotPublished);
    }

    void exportWritesThePublishedLinesAndOpensTheFile() {
        host_->AddMedia(kDir + "g.mp4", 700, host::kPublished, "2026-01-01 00:00:00",
                        "pvessa://url=second|sid=1|key=0|name=g.mp4");
        page_->ShowDirectory(kDir);
        host_->prompter.answer = false;
        Click(ids::kButtonExportLinks);
        QCOMPARE(host_->prompter.boxes.back().text, QStringLiteral("将在桌面创建视频URL文件"));
        host_->sink.Pump(*host_->host, page_.get());
        QVERIFY(std::filesystem::is_empty(host_->home.desktop()));

        host_->prompter.answer = true;
        page_->SortByColumn(kColumnSize);
        page_->SortByColumn(kColumnSize);  // descending: g before d
        Click(ids::kButtonExportLinks);
        host_->sink.seen.clear();
        host_->sink.Pump(*host_->host, page_.get());
        QCOMPARE(host_->sink.seen.size(), std::size_t{1});
        QCOMPARE(host_->sink.seen[0].first, AppMessage::WM_APP_OPEN_FOLDER);
        std::filesystem::path file = host_->sink.seen[0].second;
        QCOMPARE(file.parent_path(), host_->home.desktop());
        std::string text = file_text(file);
        QVERIFY(text.find("a.mp4") == std::string::npos);
        std::size_t g = text.find("g.mp4");
        std::size_t d = text.find("d.mp4");
        QVERIFY(g != std::string::npos && d != std::string::npos);
        QVERIFY(g < d);  // in list order

        // Only the selected published lines.
        Select({kDir + "d.mp4", kDir + "a.mp4"});
        page_->ExportSelected();
        host_->sink.seen.clear();
        host_->sink.Pump(*host_->host, page_.get());
        std::string selected = file_text(host_->sink.seen.at(0).second);
        QVERIFY(selected.find("d.mp4") != std::string::npos);
        QVERIFY(selected.find("g.mp4") == std::string::npos);
    }

    void openFolderAndRefreshGoToTheMainWindow() {
        Select({kDir + "a.mp4"});
        host_->sink.seen.clear();
        Click(ids::kButtonOpenFolder);
        Click(ids::kButtonRefresh);
        host_->sink.Pump(*host_->host, nullptr);
        QCOMPARE(host_->sink.seen.size(), std::size_t{2});
        QCOMPARE(host_->sink.seen[0].first, AppMessage::WM_APP_OPEN_FOLDER);
        QCOMPARE(host_->sink.seen[0].second, std::string("/m/films"));
        QCOMPARE(host_->sink.seen[1].first, AppMessage::WM_APP_REFRESH_DIRECTORY);
    }

    void aFileBeingPublishedShowsTheEnginesPercentage() {
        host_->engine->block = true;
        host_->engine->progress = 42;
        host::Host& host = *host_->host;
        page_->SetProgressSource(
            [&host] { return std::optional<int>(host.Directories().PublishProgress()); });
        Select({kDir + "a.mp4"});
        page_->PublishSelected();
        QVERIFY(RecordingEngine::WaitInPublish(*host_->engine));
        QVERIFY(host_->sink.PumpUntil(*host_->host, page_.get(), [&] {
            return ShownState(kDir + "a.mp4") == host::kPublishing;
        }));
        QCOMPARE(ShownStateText(kDir + "a.mp4"), QStringLiteral("正在发布 42%"));
        {
            std::lock_guard lock(host_->engine->mutex);
            host_->engine->progress = 77;
        }
        page_->RefreshProgress();
        QCOMPARE(ShownStateText(kDir + "a.mp4"), QStringLiteral("正在发布 77%"));
        RecordingEngine::Release(*host_->engine);
        QVERIFY(host_->sink.PumpUntil(*host_->host, page_.get(), [&] {
            return ShownState(kDir + "a.mp4") == host::kPublished;
        }));
        QCOMPARE(ShownStateText(kDir + "a.mp4"), QStringLiteral("已发布"));
    }

    void theProgressTimerRunsOnlyWhileThePageIsShown() {
        page_->SetProgressInterval(10);
        int asked = 0;
        page_->SetProgressSource([&asked] {
            ++asked;
            return std::optional<int>(5);
        });
        MediaRecord stale = page_->Model().Record(page_->Model().RowOf(kDir + "a.mp4"));
        stale.state = host::kPublishing;  // left over: not the engine's current file
        page_->UpdateMediaLine(stale);
        asked = 0;
        page_->OnPageShown();
        QTRY_VERIFY(asked >= 2);
        QCOMPARE(ShownStateText(kDir + "a.mp4"), QStringLiteral("正在发布"));
        page_->OnPageHidden();
        int after = asked;
        QTest::qWait(50);
        QCOMPARE(asked, after);
    }
};

QTEST_MAIN(PublishPageTest)
#include "publish_page_test.moc"
