#include "upload_speed_graph.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

#include "monitor_texts.h"

namespace wharfkeep::ui::monitor {
namespace {

// A round scale top of at least `value`: 1, 2 or 5 times a power of ten of the value's own
// unit (B, K, M, G), so that the label reads "500.00KB/s" rather than "488.28KB/s".
std::uint64_t NiceCeiling(std::uint64_t value) {
    std::uint64_t unit = 1;
    while (unit <= (UINT64_MAX >> 10) && value >= unit * 1024) {
        unit *= 1024;
    }
    const std::uint64_t in_units = (value + unit - 1) / unit;
    for (std::uint64_t step = 1; step <= 100000; step *= 10) {
        for (std::uint64_t factor : {1u, 2u, 5u}) {
            if (step * factor >= in_units && step * factor <= UINT64_MAX / unit) {
                return step * factor * unit;
            }
        }
    }
    return value;
}

}  // namespace

UploadSpeedGraph::UploadSpeedGraph(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("uploadSpeedGraph"));
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void UploadSpeedGraph::AddSample(std::uint64_t now_ms, std::uint64_t bytes_per_second,
                                 std::uint64_t limit_bytes_per_second) {
    now_ms = std::max(now_ms, now_ms_);
    now_ms_ = now_ms;
    limit_ = limit_bytes_per_second;
    samples_.push_back(Sample{now_ms, bytes_per_second});
    Prune();
    update();
}

void UploadSpeedGraph::AdvanceTo(std::uint64_t now_ms) {
    now_ms_ = std::max(now_ms, now_ms_);
    Prune();
    update();
}

void UploadSpeedGraph::Prune() {
    while (!samples_.empty() && now_ms_ - samples_.front().at_ms > kWindowMs) {
        samples_.pop_front();
    }
}

std::vector<std::vector<UploadSpeedGraph::Sample>> UploadSpeedGraph::Runs() const {
    std::vector<std::vector<Sample>> runs;
    for (const Sample& sample : samples_) {
        if (runs.empty() || sample.at_ms - runs.back().back().at_ms > kGapMs) {
            runs.emplace_back();
        }
        runs.back().push_back(sample);
    }
    return runs;
}

std::uint64_t UploadSpeedGraph::ScaleTop() const {
    std::uint64_t highest = limit_;
    for (const Sample& sample : samples_) {
        highest = std::max(highest, sample.bytes_per_second);
    }
    return NiceCeiling(std::max<std::uint64_t>(highest, 1024));
}

QSize UploadSpeedGraph::sizeHint() const {
    return {480, 130};
}

QSize UploadSpeedGraph::minimumSizeHint() const {
    return {200, 90};
}

void UploadSpeedGraph::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    const QFontMetrics metrics = painter.fontMetrics();
    const std::uint64_t top = ScaleTop();
    // In bits per second, like the upload limit and the speeds of the lists.
    const QString top_label = QString::fromStdString(BitRateText(top));
    const int left = metrics.horizontalAdvance(top_label) + 8;
    const QRectF plot(left, metrics.height() / 2.0 + 2, width() - left - 6,
                      height() - metrics.height() * 2.0 - 4);
    if (plot.width() < 10 || plot.height() < 10) {
        return;
    }

    // Frame, a grid line a quarter of the scale apart, the labels.
    painter.setPen(QPen(palette().mid().color(), 1, Qt::DotLine));
    for (int quarter = 1; quarter < 4; ++quarter) {
        const double y = plot.top() + plot.height() * quarter / 4.0;
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
    }
    painter.setPen(palette().text().color());
    painter.drawRect(plot);
    painter.drawText(QRectF(0, plot.top() - metrics.height() / 2.0, left - 4, metrics.height()),
                     Qt::AlignRight | Qt::AlignVCenter, top_label);
    painter.drawText(QRectF(0, plot.bottom() - metrics.height() / 2.0, left - 4, metrics.height()),
                     Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("0"));
    const QRectF axis(plot.left(), plot.bottom() + 2, plot.width(), metrics.height());
    painter.drawText(axis, Qt::AlignLeft | Qt::AlignTop, tr("-10分钟"));
    painter.drawText(axis, Qt::AlignRight | Qt::AlignTop, tr("现在"));

    auto x_of = [&](std::uint64_t at_ms) {
        const double age = static_cast<double>(now_ms_ - std::min(at_ms, now_ms_));
        return plot.right() - plot.width() * age / static_cast<double>(kWindowMs);
    };
    auto y_of = [&](std::uint64_t value) {
        return plot.bottom() -
               plot.height() * static_cast<double>(value) / static_cast<double>(top);
    };

    if (limit_ > 0) {
        painter.setPen(QPen(QColor(0xC0, 0x30, 0x30), 1, Qt::DashLine));
        painter.drawLine(QPointF(plot.left(), y_of(limit_)), QPointF(plot.right(), y_of(limit_)));
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x20, 0x60, 0xC0), 1.5));
    for (const std::vector<Sample>& run : Runs()) {
        QPainterPath path(QPointF(x_of(run.front().at_ms), y_of(run.front().bytes_per_second)));
        for (std::size_t at = 1; at < run.size(); ++at) {
            path.lineTo(x_of(run[at].at_ms), y_of(run[at].bytes_per_second));
        }
        if (run.size() == 1) {
            painter.drawPoint(path.currentPosition());
        } else {
            painter.drawPath(path);
        }
    }
}

}  // namespace wharfkeep::ui::monitor
