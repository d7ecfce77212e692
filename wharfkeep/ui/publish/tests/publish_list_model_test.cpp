// The media list's texts, updates and sorting.
#include <QItemSelectionModel>
#include <QtTest>

#include "media_list_model.h"
#include "wharfkeep/host/media_state.h"

using namespace wharfkeep;
using namespace wharfkeep::ui;

namespace {

MediaRecord Media(const std::string& path, std::int64_t size, int state = 0,
                  const std::string& file_date = "2026-01-01 00:00:00") {
    MediaRecord record;
    record.local_path = path;
    record.name = display_name_of(path);
    record.file_size = size;
    record.state = state;
    record.file_date = file_date;
    return record;
}

QStringList Column(const MediaSortProxy& proxy, int column) {
    QStringList texts;
    for (int line = 0; line < proxy.rowCount(); ++line) {
        texts << proxy.index(line, column).data().toString();
    }
    return texts;
}

QStringList Names(const MediaSortProxy& proxy) {
    return Column(proxy, kColumnName);
}

}  // namespace

class PublishListModelTest : public QObject {
    Q_OBJECT
private slots:
    void sizeTextsFollowTheMegabyteAndGigabyteRule() {
        QCOMPARE(MediaSizeText(0), QStringLiteral("0 KB"));
        QCOMPARE(MediaSizeText(1), QStringLiteral("1 KB"));  // up, never "0" for a file
        QCOMPARE(MediaSizeText(70 * 1024), QStringLiteral("70 KB"));
        QCOMPARE(MediaSizeText(500 * 1024 + 1), QStringLiteral("501 KB"));
        QCOMPARE(MediaSizeText(1048575), QStringLiteral("1024 KB"));
        QCOMPARE(MediaSizeText(1048576), QStringLiteral("1 MB"));
        QCOMPARE(MediaSizeText(1048576 * 3 - 1), QStringLiteral("2 MB"));  // toward zero
        QCOMPARE(MediaSizeText(1073741824LL), QStringLiteral("1024 MB"));
        QCOMPARE(MediaSizeText(1073741824LL + 1), QStringLiteral("1.00 GB"));
        QCOMPARE(MediaSizeText(1610612736LL), QStringLiteral("1.50 GB"));
        // Files beyond 4 GiB and far beyond keep their size: no 32-bit wrap.
        QCOMPARE(MediaSizeText(5LL * 1024 * 1073741824LL), QStringLiteral("5120.00 GB"));
    }

    void columnsShowTheRecordAndAlignTheSizeRight() {
        PublishMediaModel model;
        std::vector<MediaRecord> records{Media("/v/a.mp4", 1073741825LL, host::kWaiting)};
        records[0].publish_date = "2026-02-03 04:05:06";
        model.Reset(records);
        QCOMPARE(model.columnCount(), 5);
        QCOMPARE(model.headerData(kColumnName, Qt::Horizontal, Qt::DisplayRole).toString(),
                 QStringLiteral("文件名"));
        QCOMPARE(model.headerData(kColumnPublishDate, Qt::Horizontal, Qt::DisplayRole).toString(),
                 QStringLiteral("发布日期"));
        QCOMPARE(model.index(0, kColumnName).data().toString(), QStringLiteral("a.mp4"));
        QCOMPARE(model.index(0, kColumnSize).data().toString(), QStringLiteral("1.00 GB"));
        QCOMPARE(model.index(0, kColumnState).data().toString(), QStringLiteral("等待发布"));
        QCOMPARE(model.index(0, kColumnFileDate).data().toString(),
                 QStringLiteral("2026-01-01 00:00:00"));
        QCOMPARE(model.index(0, kColumnPublishDate).data().toString(),
                 QStringLiteral("2026-02-03 04:05:06"));
        auto alignment = model.index(0, kColumnSize).data(Qt::TextAlignmentRole).toInt();
        QVERIFY(alignment & Qt::AlignRight);
        QCOMPARE(kMediaColumnWidths[kColumnName], 180);
        QCOMPARE(kMediaColumnWidths[kColumnSize], 90);
        QCOMPARE(kMediaColumnWidths[kColumnFileDate], 130);
    }

    void aRecordWithoutNameShowsItsFileName() {
        PublishMediaModel model;
        MediaRecord record = Media("/v/sub/clip.mp4", 10);
        record.name.clear();
        model.Reset({record});
        QCOMPARE(model.Record(0).name, std::string("clip.mp4"));
    }

    void anUpdateFindsItsLineByExactPathAndKeepsTheLinesSize() {
        PublishMediaModel model;
        model.Reset({Media("/v/Clip.mp4", 100), Media("/v/clip.mp4", 200)});
        MediaRecord update = Media("/v/clip.mp4", 999999, host::kPublished);
        update.cid = std::string(40, 'C');
        update.url = "pvessa://url=x|sid=1|key=0|name=clip.mp4";
        update.sts_path = "/v/clip.mp4.sts";
        update.publish_date = "2026-03-01 10:00:00";
        QCOMPARE(model.ApplyUpdate(update), 1);
        const MediaRecord& line = model.Record(1);
        QCOMPARE(line.state, host::kPublished);
        QCOMPARE(line.cid, update.cid);
        QCOMPARE(line.url, update.url);
        QCOMPARE(line.sts_path, update.sts_path);
        QCOMPARE(line.publish_date, update.publish_date);
        QCOMPARE(line.file_size, std::int64_t{200});
        QCOMPARE(model.Record(0).state, 0);  // the other case is another file
        QCOMPARE(model.ApplyUpdate(Media("/v/none.mp4", 1)), -1);
    }

    void aFileBeingPublishedShowsItsPercentage() {
        PublishMediaModel model;
        model.Reset({Media("/v/a.mp4", 1, host::kPublishing)});
        QCOMPARE(model.index(0, kColumnState).data().toString(), QStringLiteral("正在发布"));
        model.SetProgress(0, 37);
        QCOMPARE(model.index(0, kColumnState).data().toString(), QStringLiteral("正在发布 37%"));
        // Once it is published the percentage goes with the old state.
        model.ApplyUpdate(Media("/v/a.mp4", 1, host::kPublished));
        QCOMPARE(model.index(0, kColumnState).data().toString(), QStringLiteral("已发布"));
        model.SetProgress(0, 50);  // not publishing: no percentage shown
        QCOMPARE(model.index(0, kColumnState).data().toString(), QStringLiteral("已发布"));
    }

    void sortingBySizeTwiceReversesAndAThirdClickRestores() {
        PublishMediaModel model;
        // Two files of the same size: the order must still be total.
        model.Reset({Media("/v/b.mp4", 3000), Media("/v/a.mp4", 10), Media("/v/d.mp4", 3000),
                     Media("/v/c.mp4", 5000000000LL)});
        MediaSortProxy proxy;
        proxy.setSourceModel(&model);
        QCOMPARE(Names(proxy), (QStringList{"b.mp4", "a.mp4", "d.mp4", "c.mp4"}));
        proxy.SortByColumnClick(kColumnSize);
        QStringList first = Names(proxy);
        QCOMPARE(first, (QStringList{"a.mp4", "b.mp4", "d.mp4", "c.mp4"}));
        proxy.SortByColumnClick(kColumnSize);
        QStringList reversed = first;
        std::reverse(reversed.begin(), reversed.end());
        QCOMPARE(Names(proxy), reversed);
        proxy.SortByColumnClick(kColumnSize);
        QCOMPARE(Names(proxy), first);
    }

    void sortingKeepsSelectionAndProgressOnTheirFiles() {
        PublishMediaModel model;
        model.Reset(
            {Media("/v/c.mp4", 1), Media("/v/a.mp4", 3, host::kPublishing), Media("/v/b.mp4", 2)});
        model.SetProgress(1, 42);
        MediaSortProxy proxy;
        proxy.setSourceModel(&model);
        QItemSelectionModel selection(&proxy);
        selection.setCurrentIndex(proxy.index(0, 0),
                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        proxy.SortByColumnClick(kColumnName);
        QCOMPARE(Names(proxy), (QStringList{"a.mp4", "b.mp4", "c.mp4"}));
        QCOMPARE(selection.currentIndex().row(), 2);
        QCOMPARE(selection.selectedRows().size(), 1);
        QCOMPARE(selection.selectedRows().front().data().toString(), QStringLiteral("c.mp4"));
        QCOMPARE(proxy.index(0, kColumnState).data().toString(), QStringLiteral("正在发布 42%"));
        QCOMPARE(model.RowOf("/v/c.mp4"), 2);
        proxy.ClearSort();
        QCOMPARE(proxy.SortedColumn(), -1);
    }

    void namesSortByteForByteWhateverTheirLengthAndFirstBytes() {
        // Names that share their first eight bytes, begin one another, hold bytes above
        // 0x7F or a zero-padded look-alike.
        const std::vector<std::string> names = {"clip-0000-b.mp4",
                                                "clip-0000-a.mp4",
                                                "clip-000",
                                                "\xe4\xb8\xad\xe6\x96\x87.mp4",
                                                "Z.mp4",
                                                "clip-00",
                                                std::string("clip\0\0", 6),
                                                "clip"};
        std::vector<MediaRecord> records;
        for (const std::string& name : names) {
            records.push_back(Media("/v/" + name, 1));
        }
        PublishMediaModel model;
        model.Reset(records);
        MediaSortProxy proxy;
        proxy.setSourceModel(&model);
        std::vector<std::string> expected = names;
        std::sort(expected.begin(), expected.end());
        for (bool ascending : {true, false}) {
            proxy.SortByColumnClick(kColumnName);
            QCOMPARE(proxy.Ascending(), ascending);
            std::vector<std::string> sorted;
            for (int row = 0; row < model.rowCount(); ++row) {
                sorted.push_back(model.Record(row).name);
            }
            QVERIFY(sorted == expected);
            std::reverse(expected.begin(), expected.end());
        }
    }

    void aNewColumnStartsAscending() {
        PublishMediaModel model;
        model.Reset({Media("/v/b.mp4", 1, 1), Media("/v/a.mp4", 2, 0)});
        MediaSortProxy proxy;
        proxy.setSourceModel(&model);
        proxy.SortByColumnClick(kColumnSize);
        proxy.SortByColumnClick(kColumnSize);  // descending
        proxy.SortByColumnClick(kColumnName);
        QVERIFY(proxy.Ascending());
        QCOMPARE(Names(proxy), (QStringList{"a.mp4", "b.mp4"}));
    }

    void namesAndDatesCompareExactlyAndStatesNumerically() {
        PublishMediaModel model;
        model.Reset({Media("/v/b.mp4", 1, host::kPublished, "2026-01-02 00:00:00"),
                     Media("/v/B.mp4", 1, host::kHeaderRejected, "2025-12-31 23:59:59"),
                     Media("/v/a.mp4", 1, host::kWaiting, "2026-01-01 00:00:00"),
                     Media("/v/c.mp4", 1, host::kFailed, "2026-01-01 00:00:01")});
        MediaSortProxy proxy;
        proxy.setSourceModel(&model);
        proxy.SortByColumnClick(kColumnName);
        // Upper case sorts before lower case: no case folding.
        QCOMPARE(Names(proxy), (QStringList{"B.mp4", "a.mp4", "b.mp4", "c.mp4"}));
        proxy.SortByColumnClick(kColumnState);
        // -4, -1, 1, 3: by number, not by the text of the state.
        QCOMPARE(Names(proxy), (QStringList{"B.mp4", "c.mp4", "b.mp4", "a.mp4"}));
        proxy.SortByColumnClick(kColumnFileDate);
        QCOMPARE(Names(proxy), (QStringList{"B.mp4", "a.mp4", "c.mp4", "b.mp4"}));
    }

    void failedLinesExplainThemselvesInTheirTooltip() {
        PublishMediaModel model;
        model.Reset({Media("/v/bad.mp4", 1, host::kFailed), Media("/v/good.mp4", 1, 1),
                     Media("/v/odd.mp4", 1, host::kNotStreamable)});
        QCOMPARE(model.index(0, kColumnState).data(Qt::ToolTipRole).toString(),
                 model.index(0, kColumnState).data().toString());
        model.SetFailureReasonSource([](const std::string& path) {
            return path == "/v/odd.mp4" ? std::string() : "variable frame rate";
        });
        const QString tip = model.index(0, kColumnName).data(Qt::ToolTipRole).toString();
        QVERIFY2(tip.endsWith(": variable frame rate"), qPrintable(tip));
        QCOMPARE(model.index(0, kColumnName).data().toString(), QStringLiteral("bad.mp4"));
        // Published lines and failures without a stored reason keep the cell's text.
        QCOMPARE(model.index(1, kColumnName).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("good.mp4"));
        QCOMPARE(model.index(2, kColumnName).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("odd.mp4"));
    }
};

QTEST_MAIN(PublishListModelTest)
#include "publish_list_model_test.moc"
