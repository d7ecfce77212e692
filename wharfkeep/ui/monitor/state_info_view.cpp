#include "state_info_view.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <initializer_list>
#include <utility>

#include "monitor_ids.h"
#include "monitor_texts.h"
#include "platform/clock.h"
#include "upload_speed_graph.h"
#include "wharfkeep/host/media_state.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/ui/designed_texts.h"
#include "wharfkeep/ui/ui_ids.h"

namespace wharfkeep::ui {
namespace {

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

// The fields of each group in the order they are shown: id and label.
using FieldList = std::initializer_list<std::pair<int, const char*>>;

}  // namespace

CPWTStateInfoFormView::CPWTStateInfoFormView(const PageContext& context, QWidget* parent)
    : CPWTPage(context, parent), disk_space_(platform::local_disk_space) {
    setObjectName(ObjectId(ids::kStateInfoPage));

    auto group = [this](const char* title, FieldList fields) {
        auto* box = new QGroupBox(tr(title), this);
        auto* form = new QFormLayout(box);
        form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
        form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
        form->setContentsMargins(8, 4, 8, 6);
        form->setVerticalSpacing(4);
        for (const auto& [id, label] : fields) {
            auto* edit = new QLineEdit(box);
            edit->setObjectName(ObjectId(id));
            edit->setReadOnly(true);
            edit->setFocusPolicy(Qt::NoFocus);
            fields_[id] = edit;
            form->addRow(tr(label), edit);
        }
        return box;
    };

    QGroupBox* service =
        group(QT_TR_NOOP("当前服务状态"), {{ids::kEditServiceState, QT_TR_NOOP("服务状态：")},
                                           {ids::kEditServiceAddress, QT_TR_NOOP("服务地址：")}});
    service_button_ = new QPushButton(tr("启动服务"), service);
    service_button_->setObjectName(ObjectId(ids::kButtonServices));
    static_cast<QFormLayout*>(service->layout())->addRow(QString(), service_button_);
    connect(service_button_, &QPushButton::clicked, this, [this] { ToggleServices(); });

    QGroupBox* server =
        group(QT_TR_NOOP("服务器状态"), {{ids::kEditUploadSpeed, QT_TR_NOOP("连接速度：")},
                                         {ids::kEditTotalUploaded, QT_TR_NOOP("总上传量：")},
                                         {ids::kEditPeerConnections, QT_TR_NOOP("Peer连接数：")},
                                         {ids::kEditUploadingMedia, QT_TR_NOOP("上传视频数：")}});
    QGroupBox* cache =
        group(QT_TR_NOOP("缓存信息"), {{ids::kEditDiskReadSpeed, QT_TR_NOOP("读盘速度：")},
                                       {ids::kEditDiskBytesRead, QT_TR_NOOP("读盘总量：")},
                                       {ids::kEditCacheHitRate, QT_TR_NOOP("缓存命中率：")}});
    QGroupBox* limits = group(QT_TR_NOOP("上传设置"),
                              {{ids::kEditSpeedLimitShown, QT_TR_NOOP("全局上传限速：")},
                               {ids::kEditConnectionLimitShown, QT_TR_NOOP("全局连接数限制：")},
                               {ids::kEditUploadMode, QT_TR_NOOP("上传模式：")}});
    QGroupBox* refused =
        group(QT_TR_NOOP("拒绝的连接"), {{ids::kEditRefusedCounts, QT_TR_NOOP("按原因：")},
                                         {ids::kEditRecentlyRefused, QT_TR_NOOP("最近拒绝：")}});
    QGroupBox* publish =
        group(QT_TR_NOOP("发布状态"), {{ids::kEditPublishedMedia, QT_TR_NOOP("发布视频数：")},
                                       {ids::kEditAllMedia, QT_TR_NOOP("目录下视频总数：")}});
    QGroupBox* disks =
        group(QT_TR_NOOP("磁盘信息"), {{ids::kEditFreeSpace, QT_TR_NOOP("可用空间：")},
                                       {ids::kEditTotalSpace, QT_TR_NOOP("磁盘总容量：")}});

    auto* graph_box = new QGroupBox(tr("上传速度（最近10分钟）"), this);
    auto* graph_layout = new QVBoxLayout(graph_box);
    graph_layout->setContentsMargins(8, 4, 8, 6);
    graph_ = new monitor::UploadSpeedGraph(graph_box);
    graph_layout->addWidget(graph_);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(10, 10, 10, 10);
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(6);
    grid->addWidget(service, 0, 0);
    grid->addWidget(limits, 0, 1);
    grid->addWidget(server, 1, 0);
    grid->addWidget(publish, 1, 1);
    grid->addWidget(cache, 2, 0);
    grid->addWidget(disks, 2, 1);
    grid->addWidget(refused, 3, 0, 1, 2);
    grid->addWidget(graph_box, 4, 0, 1, 2);
    grid->setRowStretch(4, 1);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    for (QGroupBox* box : {limits, publish, disks}) {
        grid->setAlignment(box, Qt::AlignTop);
    }

    timer_.setObjectName(ObjectId(ids::kTimerStateInfo));
    timer_.setInterval(kRefreshMs);
    connect(&timer_, &QTimer::timeout, this, [this] { Refresh(); });
}

CPWTStateInfoFormView::~CPWTStateInfoFormView() = default;

void CPWTStateInfoFormView::OnPageShown() {
    Refresh();
    if (!timer_.isActive()) {
        timer_.start();
    }
}

void CPWTStateInfoFormView::OnPageHidden() {
    timer_.stop();
}

CPWTStateInfoFormView::PublishCounts CPWTStateInfoFormView::CountMedia() {
    // Counted by the database: the page refreshes every second, whatever the catalog's size.
    host::MediaLibrary& library = Host().Library();
    PublishCounts counts;
    counts.published =
        static_cast<std::uint32_t>(std::max(0, library.CountInState(host::kPublished)));
    counts.all = static_cast<std::uint32_t>(std::max(0, library.CountAll()));
    return counts;
}

void CPWTStateInfoFormView::Refresh() {
    host::ServerStatusSnapshot snapshot;
    Host().Document().GetServerStatus(snapshot);
    const PublishCounts counts = CountMedia();
    const platform::DiskSpace space = disk_space_ ? disk_space_() : platform::DiskSpace{};
    ShowStatus(snapshot, counts, space);
    const std::uint64_t now = platform::monotonic_ms();
    if (snapshot.running == 1) {
        graph_->AddSample(now, snapshot.server.upload_speed, snapshot.speed_limit);
    } else {
        graph_->AdvanceTo(now);
    }
}

void CPWTStateInfoFormView::ShowStatus(const host::ServerStatusSnapshot& snapshot,
                                       const PublishCounts& counts,
                                       const platform::DiskSpace& disks) {
    snapshot_ = snapshot;
    counts_ = counts;
    const bool running = snapshot.running == 1;
    using monitor::ByteRateText;
    using monitor::BytesText;
    using monitor::SizeText;

    SetField(ids::kEditServiceState, running ? tr("启动") : tr("停止"));
    SetField(ids::kEditPublishedMedia, QString::number(counts.published));
    SetField(ids::kEditAllMedia, QString::number(counts.all));
    SetField(ids::kEditFreeSpace, Text(BytesText(disks.free_bytes)));
    SetField(ids::kEditTotalSpace, Text(BytesText(disks.total_bytes)));
    service_button_->setText(running ? tr("停止服务") : tr("启动服务"));
    ShowUploadModeAndRefusals(snapshot);

    if (!running) {
        for (int id : {ids::kEditServiceAddress, ids::kEditUploadSpeed, ids::kEditTotalUploaded,
                       ids::kEditPeerConnections, ids::kEditUploadingMedia,
                       ids::kEditSpeedLimitShown, ids::kEditConnectionLimitShown,
                       ids::kEditDiskReadSpeed, ids::kEditDiskBytesRead, ids::kEditCacheHitRate}) {
            SetField(id, QString());
        }
        return;
    }
    SetField(ids::kEditServiceAddress, Text(snapshot.address));
    // Upload speeds in bits per second, the unit of the upload limit beside them (Kb/s on the
    // settings page); the disk's read speed stays in bytes.
    SetField(ids::kEditUploadSpeed, Text(monitor::BitRateText(snapshot.server.upload_speed)));
    SetField(ids::kEditTotalUploaded, Text(BytesText(snapshot.server.total_bytes_sent)));
    SetField(ids::kEditPeerConnections, QString::number(snapshot.server.live_sessions));
    SetField(ids::kEditUploadingMedia, QString::number(snapshot.server.resource_count));
    // The limit is kept in bytes per second and shown in bits per second.
    SetField(ids::kEditSpeedLimitShown, Text(SizeText(snapshot.speed_limit * 8) + "b/s"));
    SetField(ids::kEditConnectionLimitShown, QString::number(snapshot.connection_limit));
    SetField(ids::kEditDiskReadSpeed, Text(ByteRateText(snapshot.cache.disk_read_speed)));
    SetField(ids::kEditDiskBytesRead, Text(BytesText(snapshot.cache.disk_bytes_read)));
    SetField(ids::kEditCacheHitRate, QStringLiteral("%1%").arg(snapshot.cache.hit_ratio));
}

void CPWTStateInfoFormView::ShowUploadModeAndRefusals(const host::ServerStatusSnapshot& snapshot) {
    const std::uint32_t limit = snapshot.upload.limit;
    SetField(ids::kEditUploadMode,
             ui::UploadModeText(snapshot.upload.mode) +
                 (limit == 0 ? tr("（不限速）")
                             : tr("（%1）").arg(
                                   Text(monitor::SizeText(std::uint64_t{limit} * 8) + "b/s"))));
    SetField(ids::kEditRefusedCounts, tr("禁止名单 %1，不在允许名单 %2，连接数上限 %3，单IP上限 %4")
                                          .arg(snapshot.refused_by_filter.deny_list)
                                          .arg(snapshot.refused_by_filter.not_on_allow_list)
                                          .arg(snapshot.refused.connection_limit)
                                          .arg(snapshot.refused.address_limit));
    QStringList recent;
    for (const host::RefusedPeer& peer : snapshot.recently_refused) {
        if (recent.size() == 5) {
            break;
        }
        recent.append(QString::fromStdString(host::FormatIpv4(peer.address)));
    }
    SetField(ids::kEditRecentlyRefused, recent.join(QStringLiteral(", ")));
}

void CPWTStateInfoFormView::ToggleServices() {
    if (snapshot_.running == 1) {
        Host().Document().StopServices(true);
    } else {
        Host().Document().StartServices();
    }
    Refresh();
}

QLineEdit* CPWTStateInfoFormView::Field(int id) const {
    auto found = fields_.find(id);
    return found == fields_.end() ? nullptr : found->second;
}

void CPWTStateInfoFormView::SetField(int id, const QString& text) {
    QLineEdit* edit = Field(id);
    if (edit != nullptr && edit->text() != text) {
        edit->setText(text);
    }
}

}  // namespace wharfkeep::ui
