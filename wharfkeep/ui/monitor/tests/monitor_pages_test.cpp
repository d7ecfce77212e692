// The status page and the connection monitor over a running peerfeed with real peers.
#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <iterator>
#include <memory>

#include "conn_monitor_view.h"
#include "monitor_ids.h"
#include "monitor_list_models.h"
#include "monitor_test_support.h"
#include "peerfeed/peerfeed.h"
#include "state_info_view.h"
#include "upload_speed_graph.h"
#include "wharfkeep/host/host_test_access.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/ui/pages.h"
#include "wharfkeep/ui/translations.h"
#include "wharfkeep/ui/ui_ids.h"

using namespace wharfkeep;
using namespace wharfkeep::ui;
using wharfkeep::ui::testing::MonitorFixture;

namespace {

constexpr int kPeerWaitMs = 15000;

QString FieldText(CPWTStateInfoFormView& page, int id) {
    QLineEdit* edit = page.findChild<QLineEdit*>(ObjectId(id));
    return edit != nullptr ? edit->text() : QStringLiteral("<missing %1>").arg(id);
}

QString Cell(const QAbstractItemModel& model, int row, int column) {
    return model.index(row, column).data().toString();
}

QStringList ColumnTexts(const QAbstractItemModel& model, int column) {
    QStringList texts;
    for (int row = 0; row < model.rowCount(); ++row) {
        texts << Cell(model, row, column);
    }
    return texts;
}

QPoint RowCenter(QTableView& view, int row) {
    return view.visualRect(view.model()->index(row, 0)).center();
}

void ClickHeader(QTableView& view, int column) {
    QHeaderView* header = view.horizontalHeader();
    QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
              header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
}

host::ResourceActivity ResourceEntry(std::uint64_t speed) {
    host::ResourceActivity entry;
    entry.gcid = MonitorFixture::kGcid;
    entry.sessions = 3;
    entry.speed = speed;
    entry.bytes_sent = 1536 * 1024;
    return entry;
}

}  // namespace

class MonitorPagesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    // Texts of the list lines and of the status page.
    void listLinesFormatNumbers();
    void statusFieldsFormatTheSnapshot();
    void statusFieldsEmptiedWhileStopped();
    void speedGraphKeepsTenMinutesAndBreaksAtGaps();

    // Page structure.
    void monitorListsHaveTheirColumns();
    void monitorLayoutFollowsTheSize();
    void listsFitThePageAt800x600();
    void sortingFileSizeAndAddresses();
    void timersRunOnlyWhileShown();

    // Live peers.
    void statusFieldsWhileRunning();
    void speedLimitShownInBitsPerSecond();
    void noPickedResourceNoConnections();
    void clickPicksResourceAndListsItsPeers();
    void resourceMissingFromDatabaseHasEmptyName();
    void doubleClickLocatesTheFile();
    void rightClickWithdrawsTheFile();
    void buttonStopsAndStartsTheServices();

private:
    std::unique_ptr<MonitorFixture> fixture_;
    std::unique_ptr<CPWTStateInfoFormView> status_;
    std::unique_ptr<CPWTConnMonitorFormView> monitor_;
};

void MonitorPagesTest::initTestCase() {
    fixture_ = std::make_unique<MonitorFixture>();
    PageContext context = fixture_->Context();
    auto status = make_state_info_page(context, nullptr);
    auto monitor = make_connection_monitor_page(context, nullptr);
    status_.reset(dynamic_cast<CPWTStateInfoFormView*>(status.release()));
    monitor_.reset(dynamic_cast<CPWTConnMonitorFormView*>(monitor.release()));
    QVERIFY(status_ && monitor_);
    QCOMPARE(status_->objectName(), QStringLiteral("312"));
    QCOMPARE(monitor_->objectName(), QStringLiteral("311"));
    monitor_->resize(900, 600);
    monitor_->show();
    QVERIFY(QTest::qWaitForWindowExposed(monitor_.get()));
}

void MonitorPagesTest::cleanupTestCase() {
    monitor_.reset();
    status_.reset();
    fixture_.reset();
}

void MonitorPagesTest::listLinesFormatNumbers() {
    MediaRecord media;
    media.local_path = "/srv/films/A Film.mp4";
    media.file_size = 900 * 1024;
    media.publish_date = "2026-12-09 02:30:00";
    QStringList line = monitor::ResourceListModel::Line(ResourceEntry(1023), &media);
    QCOMPARE(line.size(), int(monitor::ResourceListModel::ColumnCount));
    QCOMPARE(line[monitor::ResourceListModel::Name], QStringLiteral("A Film.mp4"));
    QCOMPARE(line[monitor::ResourceListModel::Size], QStringLiteral("900.00KB"));
    QCOMPARE(line[monitor::ResourceListModel::UploadSpeed], QStringLiteral("7.99Kb/s"));
    QCOMPARE(line[monitor::ResourceListModel::Connections], QStringLiteral("3"));
    QCOMPARE(line[monitor::ResourceListModel::Uploaded], QStringLiteral("1.50MB"));
    QCOMPARE(line[monitor::ResourceListModel::PublishDate], QStringLiteral("2026-12-09 02:30:00"));
    QCOMPARE(line[monitor::ResourceListModel::Gcid], QString::fromLatin1(MonitorFixture::kGcid));

    // No database row: empty name and date, size 0.
    line = monitor::ResourceListModel::Line(ResourceEntry(0), nullptr);
    QCOMPARE(line[monitor::ResourceListModel::Name], QString());
    QCOMPARE(line[monitor::ResourceListModel::Size], QStringLiteral("0B"));
    QCOMPARE(line[monitor::ResourceListModel::UploadSpeed], QStringLiteral("0b/s"));
    QCOMPARE(line[monitor::ResourceListModel::PublishDate], QString());

    host::PeerConnection connection;
    connection.peer_id[0] = 0xAB;
    connection.peer_id[15] = 0x01;
    connection.address.sin_family = AF_INET;
    connection.address.sin_port = htons(40001);
    connection.address.sin_addr.s_addr = htonl(0xC0A80102);  // 192.168.1.2
    connection.speed = 1023;
    connection.bytes_sent = 1023;
    connection.duration = 3725;
    line = monitor::ConnectionListModel::Line(connection);
    QCOMPARE(line[monitor::ConnectionListModel::PeerId],
             QStringLiteral("AB000000000000000000000000000001"));
    QCOMPARE(line[monitor::ConnectionListModel::Address], QStringLiteral("192.168.1.2:40001"));
    QCOMPARE(line[monitor::ConnectionListModel::ReceiveSpeed], QStringLiteral("7.99Kb/s"));
    QCOMPARE(line[monitor::ConnectionListModel::Received], QStringLiteral("1023B"));
    QCOMPARE(line[monitor::ConnectionListModel::Duration], QStringLiteral("01:02:05"));
    connection.duration = 360000;
    QCOMPARE(monitor::ConnectionListModel::Line(connection)[monitor::ConnectionListModel::Duration],
             QStringLiteral("100:00:00"));
}

void MonitorPagesTest::statusFieldsFormatTheSnapshot() {
    host::ServerStatusSnapshot snapshot;
    snapshot.running = 1;
    snapshot.address = "203.0.113.5:8189";
    snapshot.server.upload_speed = 1023;
    snapshot.server.total_bytes_sent = 3ull << 30;
    snapshot.server.live_sessions = 7;
    snapshot.server.resource_count = 2;
    snapshot.speed_limit = 12800;
    snapshot.connection_limit = 200;
    snapshot.cache.hit_ratio = 75;
    snapshot.cache.disk_bytes_read = 1536 * 1024;
    snapshot.cache.disk_read_speed = 2048;
    status_->ShowStatus(snapshot, {4, 9}, {3ull << 29, 5ull << 40});

    QCOMPARE(FieldText(*status_, ids::kEditServiceState), QStringLiteral("启动"));
    QCOMPARE(FieldText(*status_, ids::kEditServiceAddress), QStringLiteral("203.0.113.5:8189"));
    // The upload speed in bits, the unit of the limit: 1023 B/s is 8184 b/s.
    QCOMPARE(FieldText(*status_, ids::kEditUploadSpeed), QStringLiteral("7.99Kb/s"));
    QCOMPARE(FieldText(*status_, ids::kEditTotalUploaded), QStringLiteral("3.00GB"));
    QCOMPARE(FieldText(*status_, ids::kEditPeerConnections), QStringLiteral("7"));
    QCOMPARE(FieldText(*status_, ids::kEditUploadingMedia), QStringLiteral("2"));
    QCOMPARE(FieldText(*status_, ids::kEditSpeedLimitShown), QStringLiteral("100.00Kb/s"));
    QCOMPARE(FieldText(*status_, ids::kEditConnectionLimitShown), QStringLiteral("200"));
    QCOMPARE(FieldText(*status_, ids::kEditPublishedMedia), QStringLiteral("4"));
    QCOMPARE(FieldText(*status_, ids::kEditAllMedia), QStringLiteral("9"));
    QCOMPARE(FieldText(*status_, ids::kEditFreeSpace), QStringLiteral("1.50GB"));
    QCOMPARE(FieldText(*status_, ids::kEditTotalSpace), QStringLiteral("5.00TB"));
    QCOMPARE(FieldText(*status_, ids::kEditDiskReadSpeed), QStringLiteral("2.00KB/s"));
    QCOMPARE(FieldText(*status_, ids::kEditDiskBytesRead), QStringLiteral("1.50MB"));
    QCOMPARE(FieldText(*status_, ids::kEditCacheHitRate), QStringLiteral("75%"));
    QCOMPARE(status_->ServiceButton().text(), QStringLiteral("停止服务"));
    QCOMPARE(status_->ServiceButton().objectName(), QStringLiteral("1010"));

    snapshot.speed_limit = 0;
    status_->ShowStatus(snapshot, {4, 9}, {});
    QCOMPARE(FieldText(*status_, ids::kEditSpeedLimitShown), QStringLiteral("0b/s"));
    QCOMPARE(FieldText(*status_, ids::kEditFreeSpace), QStringLiteral("0B"));
}

void MonitorPagesTest::statusFieldsEmptiedWhileStopped() {
    host::ServerStatusSnapshot running;
    running.running = 1;
    running.address = "10.0.0.1:8189";
    running.server.upload_speed = 5000;
    running.cache.hit_ratio = 50;
    status_->ShowStatus(running, {1, 2}, {10, 20});

    host::ServerStatusSnapshot stopped;  // what the host leaves when peerfeed is stopped
    status_->ShowStatus(stopped, {1, 2}, {10, 20});
    QCOMPARE(FieldText(*status_, ids::kEditServiceState), QStringLiteral("停止"));
    for (int id : {ids::kEditServiceAddress, ids::kEditUploadSpeed, ids::kEditTotalUploaded,
                   ids::kEditPeerConnections, ids::kEditUploadingMedia, ids::kEditSpeedLimitShown,
                   ids::kEditConnectionLimitShown, ids::kEditDiskReadSpeed, ids::kEditDiskBytesRead,
                   ids::kEditCacheHitRate}) {
        QVERIFY2(FieldText(*status_, id).isEmpty(), qPrintable(QString::number(id)));
    }
    // The database and the disks are shown whether the services run or not.
    QCOMPARE(FieldText(*status_, ids::kEditPublishedMedia), QStringLiteral("1"));
    QCOMPARE(FieldText(*status_, ids::kEditAllMedia), QStringLiteral("2"));
    QCOMPARE(FieldText(*status_, ids::kEditFreeSpace), QStringLiteral("10B"));
    QCOMPARE(FieldText(*status_, ids::kEditTotalSpace), QStringLiteral("20B"));
    QCOMPARE(status_->ServiceButton().text(), QStringLiteral("启动服务"));
}

void MonitorPagesTest::speedGraphKeepsTenMinutesAndBreaksAtGaps() {
    monitor::UploadSpeedGraph graph;
    const std::uint64_t start = 1'000'000;
    for (std::uint64_t second = 0; second < 5; ++second) {
        graph.AddSample(start + second * 1000, 1000 * second, 0);
    }
    // Stopped for a minute, then running again under a limit.
    graph.AdvanceTo(start + 60'000);
    graph.AddSample(start + 65'000, 70'000, 64 * 1024);
    graph.AddSample(start + 66'000, 71'000, 64 * 1024);
    auto runs = graph.Runs();
    QCOMPARE(runs.size(), std::size_t(2));
    QCOMPARE(runs[0].size(), std::size_t(5));
    QCOMPARE(runs[1].size(), std::size_t(2));
    QCOMPARE(graph.ScaleTop(), std::uint64_t(100 * 1024));  // 71,000 B/s: 69.34K, up to 100K
    monitor::UploadSpeedGraph limited;
    limited.AddSample(start, 1000, 256 * 1024);  // the limit line must fit: 500K
    QCOMPARE(limited.ScaleTop(), std::uint64_t(500 * 1024));

    // Ten minutes later only what is younger than the window is left.
    graph.AddSample(start + 4001 + monitor::UploadSpeedGraph::kWindowMs, 10, 0);
    QCOMPARE(graph.Samples().size(), std::size_t(3));
    QCOMPARE(graph.Samples().front().at_ms, start + 65'000);
    // A clock that steps back does not reorder the points.
    graph.AddSample(start, 5, 0);
    QVERIFY(graph.Samples().back().at_ms >= graph.Samples()[graph.Samples().size() - 2].at_ms);

    graph.resize(400, 140);
    QImage image = graph.grab().toImage();  // drawing a full window must not fail
    QVERIFY(!image.isNull());
    monitor::UploadSpeedGraph empty;
    empty.resize(400, 140);
    QVERIFY(!empty.grab().isNull());
}

void MonitorPagesTest::monitorListsHaveTheirColumns() {
    const QStringList resources = {QStringLiteral("文件名"),   QStringLiteral("文件大小"),
                                   QStringLiteral("上传速度"), QStringLiteral("当前连接数"),
                                   QStringLiteral("总上传量"), QStringLiteral("发布时间"),
                                   QStringLiteral("GCID")};
    const QStringList connections = {QStringLiteral("Peer ID"), QStringLiteral("IP/端口"),
                                     QStringLiteral("接收速度"), QStringLiteral("总接收量"),
                                     QStringLiteral("持续连接时长")};
    auto check = [](QTableView& view, const QStringList& expected) {
        QCOMPARE(view.model()->columnCount(), int(expected.size()));
        for (int column = 0; column < int(expected.size()); ++column) {
            QCOMPARE(view.model()->headerData(column, Qt::Horizontal).toString(), expected[column]);
        }
        QCOMPARE(view.selectionBehavior(), QAbstractItemView::SelectRows);
        QVERIFY(view.showGrid());
    };
    QTableView* resource_view = monitor_->findChild<QTableView*>(QStringLiteral("1012"));
    QTableView* connection_view = monitor_->findChild<QTableView*>(QStringLiteral("1013"));
    QVERIFY(resource_view && connection_view);
    check(*resource_view, resources);
    check(*connection_view, connections);
    QCOMPARE(monitor_->ResourceMenu().actions().front()->text(), QStringLiteral("取消发布"));
    QCOMPARE(monitor_->ResourceMenu().actions().front()->objectName(), QStringLiteral("32771"));
}

void MonitorPagesTest::monitorLayoutFollowsTheSize() {
    monitor_->resize(800, 600);
    QCOMPARE(monitor_->ResourceView().geometry(), QRect(10, 10, 785, 290));
    QCOMPARE(monitor_->ConnectionView().geometry(), QRect(10, 310, 785, 290));
    monitor_->resize(651, 401);
    QCOMPARE(monitor_->ResourceView().geometry(), QRect(10, 10, 636, 190));
    QCOMPARE(monitor_->ConnectionView().geometry(), QRect(10, 210, 636, 190));
    monitor_->resize(900, 600);
}

void MonitorPagesTest::sortingFileSizeAndAddresses() {
    auto line = [](const char* name, const char* size, const char* speed, const char* count) {
        return QStringList{QString::fromUtf8(name),  QString::fromUtf8(size),
                           QString::fromUtf8(speed), QString::fromUtf8(count),
                           QStringLiteral("0B"),     QString(),
                           QStringLiteral("G")};
    };
    monitor_->Resources().SetLines({line("b.mp4", "1.00MB", "8.00Kb/s", "10"),
                                    line("A.mp4", "900.00KB", "900b/s", "9"),
                                    line("c.mp4", "2.00GB", "1.00Mb/s", "100")});
    QAbstractItemModel& shown = *monitor_->ResourceView().model();
    QTableView& view = monitor_->ResourceView();

    ClickHeader(view, monitor::ResourceListModel::Size);  // first click: the negated order
    QCOMPARE(ColumnTexts(shown, monitor::ResourceListModel::Size),
             (QStringList{"2.00GB", "1.00MB", "900.00KB"}));
    ClickHeader(view, monitor::ResourceListModel::Size);  // second click: the plain order
    QCOMPARE(ColumnTexts(shown, monitor::ResourceListModel::Size),
             (QStringList{"900.00KB", "1.00MB", "2.00GB"}));

    ClickHeader(view, monitor::ResourceListModel::Connections);
    QCOMPARE(ColumnTexts(shown, monitor::ResourceListModel::Connections),
             (QStringList{"100", "10", "9"}));
    ClickHeader(view, monitor::ResourceListModel::UploadSpeed);
    QCOMPARE(ColumnTexts(shown, monitor::ResourceListModel::UploadSpeed),
             (QStringList{"1.00Mb/s", "8.00Kb/s", "900b/s"}));
    ClickHeader(view, monitor::ResourceListModel::Name);
    ClickHeader(view, monitor::ResourceListModel::Name);  // case ignored, plain order
    QCOMPARE(ColumnTexts(shown, monitor::ResourceListModel::Name),
             (QStringList{"A.mp4", "b.mp4", "c.mp4"}));
    // Each column keeps its own direction: the size column's next click negates again.
    ClickHeader(view, monitor::ResourceListModel::Size);
    QCOMPARE(ColumnTexts(shown, monitor::ResourceListModel::Size),
             (QStringList{"2.00GB", "1.00MB", "900.00KB"}));
    // A rebuild keeps the last sort.
    monitor_->Resources().SetLines(
        {line("x", "1.00KB", "0b/s", "1"), line("y", "1.00TB", "0b/s", "1")});
    QCOMPARE(ColumnTexts(shown, monitor::ResourceListModel::Size),
             (QStringList{"1.00TB", "1.00KB"}));

    auto peer = [](const char* address, const char* duration) {
        return QStringList{QStringLiteral("00"), QString::fromUtf8(address), QStringLiteral("0b/s"),
                           QStringLiteral("0B"), QString::fromUtf8(duration)};
    };
    monitor_->Connections().SetLines(
        {peer("200.1.1.1:80", "99:00:00"), peer("10.0.0.2:9", "100:00:00"),
         peer("10.0.0.2:10", "00:00:05"), peer("9.9.9.9:1", "01:00:00")});
    QTableView& peers = monitor_->ConnectionView();
    ClickHeader(peers, monitor::ConnectionListModel::Address);
    ClickHeader(peers, monitor::ConnectionListModel::Address);
    QCOMPARE(ColumnTexts(*peers.model(), monitor::ConnectionListModel::Address),
             (QStringList{"9.9.9.9:1", "10.0.0.2:9", "10.0.0.2:10", "200.1.1.1:80"}));
    ClickHeader(peers, monitor::ConnectionListModel::Duration);
    QCOMPARE(ColumnTexts(*peers.model(), monitor::ConnectionListModel::Duration),
             (QStringList{"100:00:00", "99:00:00", "01:00:00", "00:00:05"}));
}

void MonitorPagesTest::timersRunOnlyWhileShown() {
    QCOMPARE(monitor_->RefreshTimer().interval(), 5000);
    QCOMPARE(status_->RefreshTimer().interval(), 1000);
    QVERIFY(!monitor_->RefreshTimer().isActive());
    QVERIFY(!status_->RefreshTimer().isActive());

    const std::size_t points = status_->Graph().Samples().size();
    status_->OnPageShown();
    QVERIFY(status_->RefreshTimer().isActive());
    QTest::qWait(300);
    const int remaining = status_->RefreshTimer().remainingTime();
    status_->OnPageShown();  // shown again: the running timer is not restarted
    QVERIFY(status_->RefreshTimer().remainingTime() <= remaining);
    status_->OnPageHidden();
    QVERIFY(!status_->RefreshTimer().isActive());
    // Stopped services add no point, so the graph shows a gap there.
    QCOMPARE(status_->Graph().Samples().size(), points);

    monitor_->OnPageShown();
    QVERIFY(monitor_->RefreshTimer().isActive());
    QCOMPARE(monitor_->Resources().rowCount(), 0);  // refreshed at once; nothing runs yet
    monitor_->OnPageHidden();
    QVERIFY(!monitor_->RefreshTimer().isActive());
}

void MonitorPagesTest::statusFieldsWhileRunning() {
    QVERIFY(fixture_->Host().Document().StartServices());
    QVERIFY(fixture_->StartPeers(2, 60));
    QTRY_VERIFY_WITH_TIMEOUT(MonitorFixture::SessionsOf(MonitorFixture::kGcid) == 2, kPeerWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(
        (status_->Refresh(), FieldText(*status_, ids::kEditTotalUploaded) != "0B"), kPeerWaitMs);

    status_->Refresh();
    QCOMPARE(FieldText(*status_, ids::kEditServiceState), QStringLiteral("启动"));
    QVERIFY(FieldText(*status_, ids::kEditServiceAddress)
                .endsWith(QStringLiteral(":%1").arg(fixture_->PeerPort())));
    QVERIFY(FieldText(*status_, ids::kEditUploadSpeed).endsWith(QStringLiteral("b/s")));
    QVERIFY(FieldText(*status_, ids::kEditTotalUploaded).endsWith(QStringLiteral("B")));
    QCOMPARE(FieldText(*status_, ids::kEditPeerConnections), QStringLiteral("2"));
    QCOMPARE(FieldText(*status_, ids::kEditUploadingMedia), QStringLiteral("1"));
    QCOMPARE(FieldText(*status_, ids::kEditConnectionLimitShown), QStringLiteral("50"));
    QCOMPARE(FieldText(*status_, ids::kEditSpeedLimitShown), QStringLiteral("2.00Mb/s"));
    QCOMPARE(FieldText(*status_, ids::kEditPublishedMedia), QStringLiteral("1"));
    QCOMPARE(FieldText(*status_, ids::kEditAllMedia), QStringLiteral("2"));
    QVERIFY(FieldText(*status_, ids::kEditFreeSpace).endsWith(QStringLiteral("B")));
    QVERIFY(FieldText(*status_, ids::kEditDiskBytesRead).endsWith(QStringLiteral("B")));
    QVERIFY(FieldText(*status_, ids::kEditCacheHitRate).endsWith(QStringLiteral("%")));
    QCOMPARE(status_->ServiceButton().text(), QStringLiteral("停止服务"));
    QVERIFY(!status_->Graph().Samples().empty());
}

void MonitorPagesTest::speedLimitShownInBitsPerSecond() {
    fixture_->Host().Settings().SetUploadSpeedLimit(12800);  // 100 Kb/s on the settings page
    status_->Refresh();
    QCOMPARE(FieldText(*status_, ids::kEditSpeedLimitShown), QStringLiteral("100.00Kb/s"));
    fixture_->Host().Settings().SetUploadSpeedLimit(0);
    status_->Refresh();
    QCOMPARE(FieldText(*status_, ids::kEditSpeedLimitShown), QStringLiteral("0b/s"));
    fixture_->Host().Settings().SetUploadSpeedLimit(256 * 1024);
}

void MonitorPagesTest::noPickedResourceNoConnections() {
    monitor_->RefreshResourceList();
    QAbstractItemModel& resources = *monitor_->ResourceView().model();
    QCOMPARE(resources.rowCount(), 1);
    QCOMPARE(Cell(resources, 0, monitor::ResourceListModel::Name), QStringLiteral("Clip One.mp4"));
    QCOMPARE(Cell(resources, 0, monitor::ResourceListModel::Size), QStringLiteral("4.00MB"));
    QCOMPARE(Cell(resources, 0, monitor::ResourceListModel::Connections), QStringLiteral("2"));
    QCOMPARE(Cell(resources, 0, monitor::ResourceListModel::PublishDate),
             QStringLiteral("2026-12-09 02:30:00"));
    QCOMPARE(Cell(resources, 0, monitor::ResourceListModel::Gcid),
             QString::fromLatin1(MonitorFixture::kGcid));
    QVERIFY(monitor_->ResourceView().updatesEnabled());  // drawing is back on after a rebuild

    QVERIFY(monitor_->PickedGcid().empty());
    monitor_->RefreshConnectionList();
    QCOMPARE(monitor_->ConnectionView().model()->rowCount(), 0);
}

void MonitorPagesTest::clickPicksResourceAndListsItsPeers() {
    QTableView& view = monitor_->ResourceView();
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, RowCenter(view, 0));
    QCOMPARE(QString::fromStdString(monitor_->PickedGcid()),
             QString::fromLatin1(MonitorFixture::kGcid));
    QAbstractItemModel& peers = *monitor_->ConnectionView().model();
    QCOMPARE(peers.rowCount(), 2);
    for (int row = 0; row < 2; ++row) {
        QVERIFY(Cell(peers, row, monitor::ConnectionListModel::Address).startsWith("127.0.0.1:"));
        QCOMPARE(Cell(peers, row, monitor::ConnectionListModel::PeerId).size(), 32);
        QVERIFY(Cell(peers, row, monitor::ConnectionListModel::ReceiveSpeed).endsWith("b/s"));
        QVERIFY(Cell(peers, row, monitor::ConnectionListModel::Received).endsWith("B"));
        QVERIFY(QRegularExpression(QStringLiteral("^\\d{2,}:\\d{2}:\\d{2}$"))
                    .match(Cell(peers, row, monitor::ConnectionListModel::Duration))
                    .hasMatch());
    }
    // The timer's rebuild keeps the picked resource selected.
    monitor_->RefreshResourceList();
    QCOMPARE(view.selectionModel()->selectedRows().size(), 1);

    // The tour's extra shot: a fresh page with the first resource picked lists its peers.
    std::vector<ScreenshotDialog> shots = monitor_->ScreenshotDialogs();
    QCOMPARE(shots.size(), std::size_t(1));
    std::unique_ptr<QWidget> shot = shots.front().make(nullptr);
    auto* picked = dynamic_cast<CPWTConnMonitorFormView*>(shot.get());
    QVERIFY(picked != nullptr);
    QCOMPARE(picked->ConnectionView().model()->rowCount(), 2);
    QVERIFY(picked->RefreshTimer().isActive());
}

void MonitorPagesTest::listsFitThePageAt800x600() {
    // The English headers are the longer ones; an 800x600 window leaves the page about
    // 600x540 beside the navigation tree.
    QVERIFY(InstallTranslations(WindowLanguage::English));
    // The later tests read the designed Chinese texts, also when this one fails half-way.
    struct BackToChinese {
        ~BackToChinese() { InstallTranslations(WindowLanguage::Chinese); }
    } back_to_chinese;
    auto page = std::make_unique<CPWTConnMonitorFormView>(fixture_->Context(), nullptr);
    page->resize(600, 540);
    page->show();
    QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    QCOMPARE(page->ConnectionView().model()->headerData(0, Qt::Horizontal).toString(),
             QStringLiteral("Peer ID"));
    QCOMPARE(page->ResourceView().model()->headerData(3, Qt::Horizontal).toString(),
             QStringLiteral("Connections"));

    // Lines as long as they get: a long file name, four-figure sizes and rates, a full
    // address with a five-digit port, a duration past 100 hours.
    MediaRecord media;
    media.local_path = "/srv/videos/The Harbour at Dawn - Fishing Boats Coming Home (Full).mp4";
    media.file_size = 1023LL << 30;
    media.publish_date = "2026-12-09 22:30:59";
    host::ResourceActivity resource = ResourceEntry(999 << 20);
    resource.sessions = 1000;
    resource.bytes_sent = 1023ULL << 30;
    host::PeerConnection connection;
    std::fill(std::begin(connection.peer_id), std::end(connection.peer_id), 0xDB);
    connection.address.sin_family = AF_INET;
    connection.address.sin_port = htons(65535);
    connection.address.sin_addr.s_addr = htonl(0xCBCCCDFE);  // 203.204.205.254
    connection.speed = 999 << 20;
    connection.bytes_sent = 1023ULL << 30;
    connection.duration = 360000;
    const QStringList resource_line = monitor::ResourceListModel::Line(resource, &media);
    const QStringList connection_line = monitor::ConnectionListModel::Line(connection);
    page->Resources().SetLines({resource_line, resource_line});
    page->Connections().SetLines({connection_line, connection_line});

    // The figures are shown whole; the long texts give way, eliding their middle but keeping
    // their headers whole: the file name and the GCID get what the figures leave, the peer
    // id what the others leave.
    struct List {
        QTableView& view;
        std::vector<int> long_texts;
    };
    for (List list : {List{page->ResourceView(),
                           {monitor::ResourceListModel::Name, monitor::ResourceListModel::Gcid}},
                      List{page->ConnectionView(), {monitor::ConnectionListModel::PeerId}}}) {
        QHeaderView* header = list.view.horizontalHeader();
        const QAbstractItemView& lines = list.view;
        for (int column = 0; column < header->count(); ++column) {
            const QString name = list.view.model()->headerData(column, Qt::Horizontal).toString();
            QVERIFY2(header->sectionSize(column) >= header->sectionSizeHint(column),
                     qPrintable(name));
            if (std::count(list.long_texts.begin(), list.long_texts.end(), column) == 0) {
                QVERIFY2(header->sectionSize(column) >= lines.sizeHintForColumn(column),
                         qPrintable(name));
            }
        }
        // The filling column ends at the viewport's right edge: nothing to scroll to.
        QTRY_COMPARE(header->length(), list.view.viewport()->width());
        QCOMPARE(list.view.horizontalScrollBar()->maximum(), 0);
    }

    // A wide page shows the file name and the GCID whole.
    page->resize(1400, 540);
    QTableView& resources = page->ResourceView();
    const QAbstractItemView& resource_lines = resources;
    for (int column : {monitor::ResourceListModel::Name, monitor::ResourceListModel::Gcid}) {
        QTRY_VERIFY(resources.columnWidth(column) >= resource_lines.sizeHintForColumn(column));
    }
    QCOMPARE(resources.horizontalScrollBar()->maximum(), 0);
}

void MonitorPagesTest::resourceMissingFromDatabaseHasEmptyName() {
    ResourceDatabase& database = host::HostTestAccess::Database(fixture_->Host());
    const MediaValue forget{MediaColumn::CID, "FFFF0000FFFF0000FFFF0000FFFF0000FFFF0000"};
    database.UpdateMedia({&forget, 1}, fixture_->MediaPath());
    monitor_->RefreshResourceList();
    const MediaValue restore{MediaColumn::CID, MonitorFixture::kGcid};
    database.UpdateMedia({&restore, 1}, fixture_->MediaPath());

    QAbstractItemModel& resources = *monitor_->ResourceView().model();
    QCOMPARE(resources.rowCount(), 1);
    QCOMPARE(Cell(resources, 0, monitor::ResourceListModel::Name), QString());
    QCOMPARE(Cell(resources, 0, monitor::ResourceListModel::Size), QStringLiteral("0B"));
    QCOMPARE(Cell(resources, 0, monitor::ResourceListModel::PublishDate), QString());
    QCOMPARE(Cell(resources, 0, monitor::ResourceListModel::Gcid),
             QString::fromLatin1(MonitorFixture::kGcid));
    monitor_->RefreshResourceList();
    QCOMPARE(Cell(resources, 0, monitor::ResourceListModel::Name), QStringLiteral("Clip One.mp4"));
}

void MonitorPagesTest::doubleClickLocatesTheFile() {
    fixture_->Sink().Taken();
    QTableView& view = monitor_->ResourceView();
    // A double click is a press and release followed by the double-click press.
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, RowCenter(view, 0));
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, RowCenter(view, 0));
    bool located = false;
    for (const auto& posted : fixture_->Sink().Taken()) {
        if (posted.message == host::AppMessage::WM_APP_LOCATE_MEDIA) {
            QCOMPARE(QString::fromStdString(posted.text),
                     QString::fromLatin1(MonitorFixture::kGcid));
            located = true;
        }
    }
    QVERIFY(located);
    QCOMPARE(QString::fromStdString(monitor_->PickedGcid()),
             QString::fromLatin1(MonitorFixture::kGcid));
}

void MonitorPagesTest::rightClickWithdrawsTheFile() {
    QTableView& view = monitor_->ResourceView();
    bool menu_seen = false;
    QTimer::singleShot(100, this, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu != nullptr && menu->objectName() == QStringLiteral("311")) {
            menu_seen = true;
            menu->actions().front()->trigger();
            menu->close();
        }
    });
    const QPoint at = RowCenter(view, 0);
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, view.viewport()->mapToGlobal(at));
    QApplication::sendEvent(view.viewport(), &event);
    QVERIFY(menu_seen);

    const std::vector<MediaRecord> rows =
        fixture_->Host().Library().ListedUnder(fixture_->MediaPath());
    QCOMPARE(rows.size(), std::size_t(1));
    QCOMPARE(rows.front().state, 0);  // no longer published
    status_->Refresh();
    QCOMPARE(FieldText(*status_, ids::kEditPublishedMedia), QStringLiteral("0"));
}

void MonitorPagesTest::buttonStopsAndStartsTheServices() {
    // The peers leave first: sessions the server closes itself may hold the port for a moment
    // and make the restart below refuse it.
    fixture_->StopPeers();
    QTRY_VERIFY_WITH_TIMEOUT(
        [] {
            peerfeed_stat stat{};
            return vp_get_server_stat(&stat) == 0 && stat.live_sessions == 0;
        }(),
        kPeerWaitMs);
    status_->Refresh();
    QTest::mouseClick(&status_->ServiceButton(), Qt::LeftButton);
    QVERIFY(!fixture_->Host().Document().ServicesRunning());
    QCOMPARE(FieldText(*status_, ids::kEditServiceState), QStringLiteral("停止"));
    QCOMPARE(FieldText(*status_, ids::kEditServiceAddress), QString());
    QCOMPARE(FieldText(*status_, ids::kEditPeerConnections), QString());
    QCOMPARE(status_->ServiceButton().text(), QStringLiteral("启动服务"));
    QCOMPARE(fixture_->Host().Settings().Setting(host::kVpAutoStart), 0u);

    // Stopped: both lists stay empty even with a resource picked.
    monitor_->RefreshResourceList();
    monitor_->RefreshConnectionList();
    QCOMPARE(monitor_->ResourceView().model()->rowCount(), 0);
    QCOMPARE(monitor_->ConnectionView().model()->rowCount(), 0);

    QTest::mouseClick(&status_->ServiceButton(), Qt::LeftButton);
    QVERIFY2(fixture_->Host().Document().ServicesRunning(),
             fixture_->Sink().messages_shown.empty()
                 ? "no message"
                 : fixture_->Sink().messages_shown.back().c_str());
    QCOMPARE(FieldText(*status_, ids::kEditServiceState), QStringLiteral("启动"));
    QVERIFY(!FieldText(*status_, ids::kEditServiceAddress).isEmpty());
    QCOMPARE(status_->ServiceButton().text(), QStringLiteral("停止服务"));
    QCOMPARE(fixture_->Host().Settings().Setting(host::kVpAutoStart), 1u);
}

QTEST_MAIN(MonitorPagesTest)
#include "monitor_pages_test.moc"
