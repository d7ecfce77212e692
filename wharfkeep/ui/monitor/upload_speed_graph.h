#pragma once
// A small line graph of the upload speed over the last ten minutes, one point a second, fed
// from the snapshots the status page takes. While the service is stopped or the page is
// hidden no points arrive; the line breaks there instead of joining across the gap. The
// speed limit in force, when there is one, is drawn as a dashed line.

#include <QWidget>

#include <cstdint>
#include <deque>
#include <vector>

namespace wharfkeep::ui::monitor {

class UploadSpeedGraph : public QWidget {
    Q_OBJECT
public:
    static constexpr std::uint64_t kWindowMs = 10 * 60 * 1000;
    // Points further apart than this belong to separate runs of the line.
    static constexpr std::uint64_t kGapMs = 2500;

    struct Sample {
        std::uint64_t at_ms;  // monotonic clock
        std::uint64_t bytes_per_second;
    };

    explicit UploadSpeedGraph(QWidget* parent = nullptr);

    // A point at `now_ms` (monotonic, not earlier than the last one) with the limit in force
    // (bytes per second, 0 = none). Points older than ten minutes are dropped.
    void AddSample(std::uint64_t now_ms, std::uint64_t bytes_per_second,
                   std::uint64_t limit_bytes_per_second);
    // Moves the window on without a point (the service is stopped).
    void AdvanceTo(std::uint64_t now_ms);

    const std::deque<Sample>& Samples() const { return samples_; }
    // The samples split where points are missing.
    std::vector<std::vector<Sample>> Runs() const;
    // The top of the vertical scale: the highest point or limit, rounded up to a step.
    std::uint64_t ScaleTop() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Prune();

    std::deque<Sample> samples_;
    std::uint64_t now_ms_ = 0;
    std::uint64_t limit_ = 0;
};

}  // namespace wharfkeep::ui::monitor
