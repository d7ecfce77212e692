// Publishing a folder from the window end to end: the add-directory flow with its dialogs,
// the real publish engine and restructuring library, ffmpeg-made files, and the lines and
// tree label the operator watches.
#include <QtTest>

#include <QApplication>
#include <QTimer>
#include <QTreeWidget>

#include <cstdlib>
#include <map>

#include "add_dir_dialog.h"
#include "publish_form_view.h"
#include "publish_test_support.h"
#include "wharfkeep/host/media_state.h"
#include "wharfkeep/ui/main_frame.h"

using namespace wharfkeep;
using namespace wharfkeep::ui;
using namespace wharfkeep::ui::testing;
namespace fs = std::filesystem;

namespace {

bool OnPath(const char* tool) {
    std::string command = std::string("command -v ") + tool + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

fs::path LibraryFolder() {
    const char* folder = std::getenv("WK_LIB_DIR");
    return folder != nullptr ? fs::path(folder) : fs::path();
}

// A short H.264 + AAC clip with its movie box last, so that it needs restructuring.
bool MakeClip(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::string command =
        "ffmpeg -loglevel error -y -f lavfi -i testsrc=duration=1:size=160x120:rate=25 "
        "-f lavfi -i sine=frequency=440:duration=1 -c:v libx264 -preset ultrafast "
        "-pix_fmt yuv420p -g 25 -c:a aac -shortest '" +
        file.string() + "' </dev/null >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

QString DirectoryItemText(QTreeWidget& tree, const QString& prefix) {
    for (QTreeWidgetItemIterator it(&tree); *it; ++it) {
        if ((*it)->text(0).startsWith(prefix)) {
            return (*it)->text(0);
        }
    }
    return {};
}

}  // namespace

class PublishEndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void publishingAFolderMovesItsLinesToPublished() {
        if (!OnPath("ffmpeg")) {
            QSKIP("ffmpeg is not installed");
        }
        if (!fs::exists(LibraryFolder() / "libMoovwright.so")) {
            QSKIP("libMoovwright.so is not built");
        }
        TempHome home;
        fs::path folder = home.media() / "films";
        for (const char* name : {"one.mp4", "two.mp4", "three.mp4"}) {
            QVERIFY(MakeClip(folder / name));
        }

        PumpSink sink;
        ScriptedPrompter prompter;
        auto host = std::make_unique<host::Host>(sink, host::MakeEnginePublishBackend());
        QVERIFY(host->Open());
        PageContext context{*host, sink, prompter};
        auto frame = std::make_unique<CMainFrame>(
            context, FrameOptions{.tray_available = true, .activity_report = false});
        frame->SetUrlOpener([](const QUrl&) {});
        sink.deliver = [&](host::AppMessage message, std::int64_t wparam,
                           host::AppPayload& payload) { frame->Route(message, wparam, payload); };

        auto* page = frame->findChild<CPWTPublishFormView*>();
        QVERIFY(page != nullptr);
        // Every state each file's line shows, in order, without repeats.
        std::map<std::string, QStringList> shown;
        auto record_lines = [&] {
            PublishMediaModel& model = page->Model();
            for (int row = 0; row < model.rowCount(); ++row) {
                QString text = model.index(row, kColumnState).data().toString();
                QStringList& states = shown[model.Record(row).name];
                if (states.isEmpty() || states.back() != text) {
                    states << text;
                }
            }
        };
        connect(&page->Model(), &QAbstractItemModel::dataChanged, this, record_lines);
        connect(&page->Model(), &QAbstractItemModel::modelReset, this, record_lines);

        // The operator types the folder into dialog 319 and confirms; the progress dialog
        // closes by itself when the files are imported.
        QTimer answer;
        connect(&answer, &QTimer::timeout, this, [&] {
            if (auto* dialog = qobject_cast<CPWTDlgAddDir*>(QApplication::activeModalWidget())) {
                dialog->SetPath(QString::fromStdString(folder.string()));
                dialog->accept();
            }
        });
        answer.start(10);
        frame->AddDirectory();
        answer.stop();

        auto* tree = frame->findChild<QTreeWidget*>();
        QVERIFY(tree != nullptr);
        QCOMPARE(DirectoryItemText(*tree, "films"), QStringLiteral("films (0/3)"));
        QVERIFY(sink.PumpUntil(
            *host, nullptr,
            [&] {
                return host->Directories().PublishingIdle() &&
                       page->Model().RowsInState(host::kPublished).size() == 3;
            },
            std::chrono::seconds(60)));
        sink.Pump(*host, nullptr);
        QCOMPARE(page->DirectoryPath(), folder.string() + "/");
        for (const char* name : {"one.mp4", "two.mp4", "three.mp4"}) {
            QStringList states = shown[name];
            QVERIFY2(states.size() >= 2, name);
            QCOMPARE(states.back(), QStringLiteral("已发布"));
            int waiting = states.indexOf(QStringLiteral("等待发布"));
            int publishing = -1;
            for (int i = 0; i < states.size() && publishing < 0; ++i) {
                publishing = states[i].startsWith(QStringLiteral("正在发布")) ? i : -1;
            }
            QVERIFY2(waiting >= 0 && publishing > waiting, qPrintable(states.join(" > ")));
        }
        QCOMPARE(DirectoryItemText(*tree, "films"), QStringLiteral("films (3/3)"));

        frame.reset();
        host.reset();
    }
};

QTEST_MAIN(PublishEndToEndTest)
#include "publish_end_to_end_test.moc"
