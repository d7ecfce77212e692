// The media list over the database: a long listing read a page at a time shows the right
// rows after sorting, filtering and scrolling far away and back, and a line's reported
// change stays on it wherever the list is scrolled or sorted to.
#include <QItemSelectionModel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "media_list_model.h"
#include "media_list_source.h"
#include "wharfkeep/host/media_state.h"

using namespace wharfkeep;
using namespace wharfkeep::ui;

namespace {

// More lines than the model keeps pages of, so that scrolling through evicts pages.
constexpr int kRows = 10000;
const std::string kFolder = "/media/big/";

MediaRecord Row(int i) {
    const unsigned mixed = static_cast<unsigned>(i) * 2654435761u;
    char name[64];
    std::snprintf(name, sizeof name, "%s-%08x.mp4", i % 3 == 0 ? "Clip" : "clip", mixed);
    MediaRecord record;
    record.local_path = kFolder + name;
    record.name = name;
    record.file_size = 1048576LL * (mixed % 50);  // many equal sizes: ties by path
    record.state = i % 4 == 0 ? host::kPublished : (i % 4 == 1 ? host::kFailed : 0);
    record.file_date = "2026-01-01 00:00:0" + std::to_string(mixed % 10);
    return record;
}

}  // namespace

class MediaListWindowTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        home_ = std::make_unique<QTemporaryDir>();  // a fresh database for every test
        QVERIFY(home_->isValid());
        db_ = std::make_unique<ResourceDatabase>();
        ServerAccessSettings settings;
        QVERIFY(
            db_->Open(home_->filePath("Wharfkeep.sqlite").toStdString(), "10.0.0.1", "", settings));
        rows_.clear();
        for (int i = 0; i < kRows; ++i) {
            rows_.push_back(Row(i));
        }
        MediaRecord outside = Row(0);
        outside.local_path = "/media/other/" + outside.name;
        QVERIFY(db_->AddMediaRecords(rows_));
        QVERIFY(db_->AddMedia(outside.local_path, 1, ""));
        library_ = std::make_unique<host::MediaLibrary>(*db_);
    }
    void cleanup() {
        library_.reset();
        db_.reset();
        home_.reset();
    }

    void scrolledSortedAndFilteredLinesAreTheRightRows() {
        PublishMediaModel model;
        List(model, std::nullopt);
        QCOMPARE(model.rowCount(), kRows);  // the other folder's file is not listed
        CheckLines(model, Expected(std::nullopt, -1, true));

        MediaSortProxy proxy;
        proxy.setSourceModel(&model);
        for (int column : {kColumnSize, kColumnSize, kColumnName, kColumnFileDate}) {
            proxy.SortByColumnClick(column);
            CheckLines(model, Expected(std::nullopt, column, proxy.Ascending()));
        }

        List(model, host::kFailed);
        QCOMPARE(model.rowCount(), kRows / 4);
        proxy.ClearSort();
        proxy.SortByColumnClick(kColumnSize);
        proxy.SortByColumnClick(kColumnSize);
        CheckLines(model, Expected(host::kFailed, kColumnSize, false));
        QVERIFY(model.RowsInState(host::kPublished).empty());
    }

    void aPublishedLinesChangeShowsWhereverItIsScrolledOrSorted() {
        PublishMediaModel model;
        List(model, std::nullopt);
        const MediaRecord target = rows_[4321];
        const int row = model.RowOf(target.local_path);
        QVERIFY(row >= 0);
        QCOMPARE(model.RowOf("/media/other/" + target.name), -1);
        QSignalSpy redrawn(&model, &QAbstractItemModel::dataChanged);

        // The host stores the row and reports it; the line is redrawn with the new state.
        MediaRecord published = target;
        published.state = host::kPublished;
        published.cid = std::string(40, 'A');
        published.url = "pvessa://url=x|sid=1|name=" + target.name;
        published.publish_date = "2026-05-06 07:08:09";
        QVERIFY(db_->StoreMedia(published));
        QCOMPARE(model.ApplyUpdate(published), row);
        QCOMPARE(redrawn.size(), 1);
        QCOMPARE(redrawn.front().front().value<QModelIndex>().row(), row);
        QCOMPARE(model.index(row, kColumnState).data().toString(), QStringLiteral("已发布"));

        // A report the database does not hold yet (the line being published) stays on the
        // line after its page was dropped and read again.
        published.state = host::kPublishing;
        QCOMPARE(model.ApplyUpdate(published), row);
        model.SetProgress(row, 12);
        ReadEveryLine(model);
        QCOMPARE(model.index(row, kColumnState).data().toString(), QStringLiteral("正在发布 12%"));
        QCOMPARE(model.index(row, kColumnPublishDate).data().toString(),
                 QStringLiteral("2026-05-06 07:08:09"));
        QCOMPARE(model.RowsInState(host::kPublishing), std::vector<int>{row});
        QVERIFY(!Contains(model.RowsInState(host::kPublished), row));

        // Sorting moves the line, its change and its progress together, and the selection
        // follows it.
        MediaSortProxy proxy;
        proxy.setSourceModel(&model);
        QItemSelectionModel selection(&proxy);
        selection.setCurrentIndex(proxy.index(row, 0),
                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        proxy.SortByColumnClick(kColumnName);
        const int moved = model.RowOf(target.local_path);
        QCOMPARE(selection.currentIndex().row(), moved);
        QCOMPARE(selection.selectedRows().size(), 1);
        QCOMPARE(model.Record(moved).local_path, target.local_path);
        QCOMPARE(model.index(moved, kColumnState).data().toString(),
                 QStringLiteral("正在发布 12%"));
        QVERIFY(Contains(model.RowsInState(host::kPublishing), moved));
    }

    void aRowGoneFromTheDatabaseLeavesAnEmptyLineUntilTheNextSort() {
        PublishMediaModel model;
        List(model, std::nullopt);
        const std::string gone = model.Record(kRows - 1).local_path;
        QVERIFY(db_->DeleteMedia(gone));
        QCOMPARE(model.Record(kRows - 1).local_path, gone);  // its page was read before
        ReadEveryLine(model);  // more pages than are kept: the last one is read again
        QCOMPARE(model.index(kRows - 1, kColumnName).data().toString(), QString());
        QCOMPARE(model.RowOf(gone), -1);
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        MediaSortProxy proxy;
        proxy.setSourceModel(&model);
        proxy.SortByColumnClick(kColumnSize);
        QCOMPARE(reset.size(), 1);
        QCOMPARE(model.rowCount(), kRows - 1);
    }

private:
    void List(PublishMediaModel& model, std::optional<std::int32_t> state) {
        model.SetSource(
            std::make_unique<DatabaseListSource>(*library_, MediaListing{kFolder, state, ""}));
    }

    // The paths of the listing, filtered and sorted here by the list's comparison.
    std::vector<std::string> Expected(std::optional<int> state, int column, bool ascending) const {
        std::vector<MediaRecord> kept;
        std::copy_if(rows_.begin(), rows_.end(), std::back_inserter(kept),
                     [&](const MediaRecord& r) { return !state || r.state == *state; });
        std::sort(kept.begin(), kept.end(), [&](const MediaRecord& a, const MediaRecord& b) {
            int comparison = column < 0 ? 0 : CompareMedia(a, b, column);
            if (comparison == 0) {
                comparison = a.local_path.compare(b.local_path);
            }
            return ascending ? comparison < 0 : comparison > 0;
        });
        std::vector<std::string> paths;
        for (const MediaRecord& record : kept) {
            paths.push_back(record.local_path);
        }
        return paths;
    }

    // Every line, read from the top down and then from the bottom up (pages dropped and
    // read again), shows the expected row's name and size.
    static void CheckLines(const PublishMediaModel& model, const std::vector<std::string>& paths) {
        QCOMPARE(model.rowCount(), static_cast<int>(paths.size()));
        for (int pass = 0; pass < 2; ++pass) {
            for (int i = 0; i < model.rowCount(); ++i) {
                const int row = pass == 0 ? i : model.rowCount() - 1 - i;
                const std::string& path = paths[static_cast<std::size_t>(row)];
                QCOMPARE(model.Record(row).local_path, path);
                QCOMPARE(model.index(row, kColumnName).data().toString().toStdString(),
                         display_name_of(path));
            }
        }
    }

    static void ReadEveryLine(const PublishMediaModel& model) {
        for (int row = 0; row < model.rowCount(); ++row) {
            model.index(row, kColumnName).data();
        }
    }

    static bool Contains(const std::vector<int>& rows, int row) {
        return std::find(rows.begin(), rows.end(), row) != rows.end();
    }

    std::unique_ptr<QTemporaryDir> home_;
    std::unique_ptr<ResourceDatabase> db_;
    std::unique_ptr<host::MediaLibrary> library_;
    std::vector<MediaRecord> rows_;
};

QTEST_MAIN(MediaListWindowTest)
#include "media_list_window_test.moc"
