#include "screenshot_tour.h"

#include <QDir>
#include <QPixmap>
#include <QTimer>
#include <QTreeWidgetItemIterator>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "container_view.h"
#include "guider_tree.h"
#include "wharfkeep/ui/main_frame.h"

namespace wharfkeep::ui {
namespace {

constexpr QSize kTourSize(800, 600);
constexpr int kSettleMs = 700;  // lets each page draw (and the status page tick) first

class Tour : public QObject {
public:
    Tour(CMainFrame& frame, host::MessageSink& main_window, QString folder)
        : QObject(&frame), frame_(frame), main_window_(main_window), folder_(std::move(folder)) {
        QDir().mkpath(folder_);
        // The smallest size the window is laid out for: what fits here fits everywhere.
        frame_.resize(kTourSize);
        AddPage("page-status.png", host::kNodeStatus);
        AddPage("page-publish.png", host::kNodeDirectory);
        AddPage("page-monitor.png", host::kNodeConnectionMonitor);
        AddPage("page-settings.png", host::kNodeSettings);
        AddPage("page-ipfilter.png", host::kNodeIpFilter);
        steps_.push_back([this] { QueueDialogs(); });
    }

    void Next() {
        if (at_ >= steps_.size()) {
            main_window_.post(host::AppMessage::WM_APP_EXIT, 0, {});
            return;
        }
        std::function<void()> step = steps_[at_++];  // a step may add steps
        step();
    }

private:
    void Save(QWidget& widget, const QString& name) {
        QString path = QDir(folder_).filePath(name);
        bool saved = widget.grab().save(path, "PNG");
        std::fprintf(stderr, "screenshot %s%s\n", path.toUtf8().constData(),
                     saved ? "" : " (not written)");
    }

    void Select(int kind) {
        for (QTreeWidgetItemIterator it(&frame_.Tree()); *it; ++it) {
            const host::CPWTGuiderTreeNode* node = CPWTGuiderTree::NodeOf(*it);
            if (node != nullptr && node->kind == kind) {
                frame_.Tree().setCurrentItem(*it);
                return;
            }
        }
        // No directory yet: the directory root shows the publish page.
        if (kind == host::kNodeDirectory) {
            Select(host::kNodeDirectoryRoot);
        }
    }

    void AddPage(const char* name, int kind) {
        steps_.push_back([this, kind] {
            Select(kind);
            QTimer::singleShot(kSettleMs, this, [this] { Next(); });
        });
        steps_.push_back([this, name] {
            Save(frame_, QString::fromLatin1(name));
            Next();
        });
    }

    void QueueDialogs() {
        for (CPWTPage* page : frame_.Container().Pages()) {
            for (ScreenshotDialog& dialog : page->ScreenshotDialogs()) {
                steps_.push_back([this, dialog] {
                    std::shared_ptr<QWidget> shown = dialog.make(&frame_);
                    shown->show();
                    QTimer::singleShot(kSettleMs / 2, this, [this, shown, name = dialog.file_name] {
                        Save(*shown, name);
                        shown->close();
                        Next();
                    });
                });
            }
        }
        Next();
    }

    CMainFrame& frame_;
    host::MessageSink& main_window_;
    QString folder_;
    std::vector<std::function<void()>> steps_;
    std::size_t at_ = 0;
};

}  // namespace

void RunScreenshotTour(CMainFrame& frame, host::MessageSink& main_window, const QString& folder) {
    auto* tour = new Tour(frame, main_window, folder);  // owned by the frame
    QTimer::singleShot(1500, tour, [tour] { tour->Next(); });
}

}  // namespace wharfkeep::ui
