#pragma once
// CPWTStateInfoFormView, the status page (dialog 312): service state and address, upload
// speed and volume, peers and resources, the limits in force, the disk cache's figures, the
// publish counts and the local disks' space, refreshed once a second while the page is
// shown, with the button that starts or stops the services and a graph of the upload speed
// over the last ten minutes.

#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>

#include "platform/disk_space.h"
#include "wharfkeep/host/server_host.h"
#include "wharfkeep/ui/page.h"

class QLineEdit;
class QPushButton;

namespace wharfkeep::ui {

namespace monitor {
class UploadSpeedGraph;
}

class CPWTStateInfoFormView : public CPWTPage {
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 1000;

    struct PublishCounts {
        std::uint32_t published = 0;  // rows in state Published
        std::uint32_t all = 0;        // every media row
    };

    CPWTStateInfoFormView(const PageContext& context, QWidget* parent = nullptr);
    ~CPWTStateInfoFormView() override;

    void OnPageShown() override;
    void OnPageHidden() override;

    // One tick: a snapshot, the counts, the disks, then the fields and the graph.
    void Refresh();
    // Fills the fields; the running-only ones are emptied when the snapshot says stopped.
    void ShowStatus(const host::ServerStatusSnapshot& snapshot, const PublishCounts& counts,
                    const platform::DiskSpace& disks);
    // The service button (1010): stops running services (remembered) or starts them.
    void ToggleServices();

    // Where the disk figures come from (the local disks unless a test says otherwise).
    void SetDiskSpaceSource(std::function<platform::DiskSpace()> source) {
        disk_space_ = std::move(source);
    }

    QLineEdit* Field(int id) const;
    QPushButton& ServiceButton() const { return *service_button_; }
    monitor::UploadSpeedGraph& Graph() const { return *graph_; }
    const QTimer& RefreshTimer() const { return timer_; }
    const host::ServerStatusSnapshot& LastSnapshot() const { return snapshot_; }

private:
    // Beside the designed fields; shown whether or not the services run.
    void ShowUploadModeAndRefusals(const host::ServerStatusSnapshot& snapshot);

    PublishCounts CountMedia();
    void SetField(int id, const QString& text);

    std::map<int, QLineEdit*> fields_;
    QPushButton* service_button_;
    monitor::UploadSpeedGraph* graph_;
    QTimer timer_;
    host::ServerStatusSnapshot snapshot_;
    PublishCounts counts_;
    std::function<platform::DiskSpace()> disk_space_;
};

}  // namespace wharfkeep::ui
