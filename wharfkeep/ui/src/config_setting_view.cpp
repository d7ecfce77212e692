#include "config_setting_view.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <limits>

#include "change_master_id_dlg.h"
#include "ip_address_edit.h"
#include "platform/local_address.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/ui/pages.h"
#include "wharfkeep/ui/ui_ids.h"

namespace wharfkeep::ui {
namespace {

constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();

QPushButton* Button(QWidget* parent, int id, const QString& text) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(ObjectId(id));
    return button;
}

QLineEdit* Edit(QWidget* parent, int id, int width = 0) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(ObjectId(id));
    if (width > 0) {
        edit->setFixedWidth(width);
    }
    return edit;
}

QLabel* Note(QWidget* parent, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(0x80, 0x40, 0x00));
    label->setPalette(palette);
    return label;
}

// Buttons aligned to the right edge of their group.
QHBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons) {
    auto* row = new QHBoxLayout();
    row->addStretch();
    for (QPushButton* button : buttons) {
        row->addWidget(button);
    }
    return row;
}

}  // namespace

std::uint32_t TypedNumber(const QString& text) {
    int at = 0;
    while (at < text.size() && text[at].isSpace()) {
        ++at;
    }
    if (at < text.size() && text[at] == QLatin1Char('-')) {
        return 0;
    }
    if (at < text.size() && text[at] == QLatin1Char('+')) {
        ++at;
    }
    std::uint64_t value = 0;
    for (; at < text.size() && text[at] >= QLatin1Char('0') && text[at] <= QLatin1Char('9'); ++at) {
        value = std::min<std::uint64_t>(
            value * 10 + static_cast<unsigned>(text[at].unicode() - '0'), kMax32 + 1);
    }
    return static_cast<std::uint32_t>(std::min(value, kMax32));
}

std::uint32_t KilobitsToBytesPerSecond(std::uint32_t kilobits) {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{kilobits} * 1024 / 8, kMax32));
}

std::uint32_t BytesPerSecondToKilobits(std::uint64_t bytes_per_second) {
    return static_cast<std::uint32_t>(bytes_per_second * 8 / 1024);
}

CPWTConfigSettingView::CPWTConfigSettingView(const PageContext& context, QWidget* parent)
    : CPWTPage(context, parent) {
    setObjectName(ObjectId(ids::kConfigSettingPage));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* content = new QWidget(scroll);
    auto* layout = new QVBoxLayout(content);
    layout->setSpacing(6);
    layout->addWidget(BuildAccessGroup());
    layout->addWidget(BuildLimitsGroup());
    layout->addWidget(BuildPortsGroup());
    layout->addWidget(BuildMasterIdGroup());
    layout->addStretch();
    scroll->setWidget(content);
    outer->addWidget(scroll);
}

QWidget* CPWTConfigSettingView::BuildAccessGroup() {
    auto* group = new QGroupBox(tr("IP设置"), this);
    auto* grid = new QGridLayout(group);
    by_ip_ = new QRadioButton(tr("按IP访问本机："), group);
    by_ip_->setObjectName(ObjectId(ids::kRadioAccessByIp));
    by_domain_ = new QRadioButton(tr("按域名访问本机："), group);
    by_domain_->setObjectName(ObjectId(ids::kRadioAccessByDomain));
    auto* radios = new QButtonGroup(group);
    radios->addButton(by_ip_);
    radios->addButton(by_domain_);
    access_ip_ = new CIPAddressEdit(group);
    access_ip_->setObjectName(ObjectId(ids::kEditAccessIp));
    access_domain_ = Edit(group, ids::kEditAccessDomain);
    QPushButton* local_ip = Button(group, ids::kButtonLocalIp, tr("本机IP"));
    QPushButton* save = Button(group, ids::kButtonSaveAccess, tr("保存设置"));
    grid->addWidget(by_ip_, 0, 0);
    grid->addWidget(access_ip_, 0, 1);
    grid->addWidget(local_ip, 0, 2);
    grid->addWidget(by_domain_, 1, 0);
    grid->addWidget(access_domain_, 1, 1, 1, 2);
    grid->addWidget(
        Note(group, tr("注意：修改此项后，所有已发布视频播放地址中的服务器IP将会自动更新，"
                       "请用新的播放地址替换原来的播放地址。")),
        2, 0, 1, 3);
    grid->addLayout(ButtonRow({save}), 3, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    connect(local_ip, &QPushButton::clicked, this, &CPWTConfigSettingView::FillLocalAddress);
    connect(save, &QPushButton::clicked, this, &CPWTConfigSettingView::SaveAccess);
    return group;
}

QWidget* CPWTConfigSettingView::BuildLimitsGroup() {
    auto* group = new QGroupBox(tr("连接设置"), this);
    auto* grid = new QGridLayout(group);
    speed_limit_ = Edit(group, ids::kEditSpeedLimit, 100);
    connection_limit_ = Edit(group, ids::kEditConnectionLimit, 100);
    // "Kb" is ambiguous to many readers; the tooltip names the unit in full.
    speed_limit_->setToolTip(
        tr("单位：千比特每秒（Kb/s，1 Kb/s = 1024 比特/秒 = 128 字节/秒）；0 表示无限制"));
    grid->addWidget(new QLabel(tr("全局上传限速："), group), 0, 0);
    grid->addWidget(speed_limit_, 0, 1);
    grid->addWidget(new QLabel(tr("Kb/s （0表示无限制）"), group), 0, 2);
    grid->addWidget(new QLabel(tr("全局连接数限制："), group), 1, 0);
    grid->addWidget(connection_limit_, 1, 1);
    grid->addWidget(new QLabel(tr("个 （0表示无限制）"), group), 1, 2);
    grid->setColumnStretch(2, 1);
    QPushButton* restore = Button(group, ids::kButtonRestoreLimits, tr("恢复当前值"));
    QPushButton* save = Button(group, ids::kButtonSaveLimits, tr("保存设置"));
    grid->addLayout(ButtonRow({restore, save}), 2, 0, 1, 3);
    connect(restore, &QPushButton::clicked, this, &CPWTConfigSettingView::LoadLimits);
    connect(save, &QPushButton::clicked, this, &CPWTConfigSettingView::SaveLimits);
    return group;
}

QWidget* CPWTConfigSettingView::BuildPortsGroup() {
    auto* group = new QGroupBox(tr("端口设置"), this);
    auto* grid = new QGridLayout(group);
    transfer_port_ = Edit(group, ids::kEditTransferPort, 100);
    protocol_port_ = Edit(group, ids::kEditProtocolPort, 100);
    grid->addWidget(new QLabel(tr("传输端口:"), group), 0, 0);
    grid->addWidget(transfer_port_, 0, 1);
    grid->addWidget(new QLabel(tr("协议端口:"), group), 0, 2);
    grid->addWidget(protocol_port_, 0, 3);
    grid->setColumnStretch(4, 1);
    grid->addWidget(Note(group, tr("注意：请使用以上两个默认端口，此端口是服务必须的；"
                                   "如因端口冲突而更改了端口，则已发布视频的播放地址将失效，"
                                   "您需要用新的播放地址替换原来的播放地址。")),
                    1, 0, 1, 5);
    QPushButton* defaults = Button(group, ids::kButtonDefaultPorts, tr("默认端口"));
    QPushButton* save = Button(group, ids::kButtonSavePorts, tr("保存设置"));
    grid->addLayout(ButtonRow({defaults, save}), 2, 0, 1, 5);
    connect(defaults, &QPushButton::clicked, this, &CPWTConfigSettingView::DefaultPorts);
    connect(save, &QPushButton::clicked, this, &CPWTConfigSettingView::SavePorts);
    return group;
}

QWidget* CPWTConfigSettingView::BuildMasterIdGroup() {
    auto* group = new QGroupBox(tr("站长ID"), this);
    auto* grid = new QGridLayout(group);
    master_id_ = Edit(group, ids::kEditMasterId);
    master_id_->setReadOnly(true);
    QPushButton* change = Button(group, ids::kButtonChangeMasterId, tr("更换ID"));
    grid->addWidget(master_id_, 0, 0);
    grid->addWidget(change, 0, 1);
    grid->addWidget(Note(group, tr("1、请妥善保存此ID，该ID将唯一标识站长身份，"
                                   "重装系统或更换电脑后，请延用此ID；")),
                    1, 0, 1, 2);
    grid->addWidget(Note(group, tr("2、更改站长ID后，请替换已发布影片的URL，"
                                   "以便您统计到该ID发布的所有影片的用户观看情况。")),
                    2, 0, 1, 2);
    grid->setColumnStretch(0, 1);
    connect(change, &QPushButton::clicked, this, &CPWTConfigSettingView::ChangeMasterId);
    return group;
}

// ---- Loading ----

void CPWTConfigSettingView::OnPageShown() {
    LoadAccess();
    LoadLimits();
    LoadPorts();
    LoadMasterId();
}

void CPWTConfigSettingView::LoadAccess() {
    const ServerAccessSettings& access = Host().Settings().Access();
    access_ip_->SetText(QString::fromStdString(access.access_ip));
    access_domain_->setText(QString::fromStdString(access.access_domain));
    by_ip_->setChecked(access.access_way == 0);
    by_domain_->setChecked(access.access_way != 0);
}

void CPWTConfigSettingView::LoadLimits() {
    // The values in force in the peer server, not the stored ones.
    const host::ServiceCounters counters = Host().Document().Servers().Counters();
    speed_limit_->setText(QString::number(BytesPerSecondToKilobits(counters.speed_limit)));
    connection_limit_->setText(QString::number(counters.connection_limit));
}

void CPWTConfigSettingView::LoadPorts() {
    transfer_port_->setText(QString::number(Host().Settings().Setting(host::kVpPort)));
    protocol_port_->setText(QString::number(Host().Settings().Setting(host::kStsPort)));
}

void CPWTConfigSettingView::LoadMasterId() {
    master_id_->setText(QString::fromStdString(Host().Settings().MasterId()));
}

// ---- Buttons ----

void CPWTConfigSettingView::FillLocalAddress() {
    access_ip_->SetText(QString::fromStdString(platform::local_address_text()));
    by_ip_->setChecked(true);
    by_domain_->setChecked(false);
}

void CPWTConfigSettingView::SaveAccess() {
    int way = by_ip_->isChecked() ? 0 : 1;
    Host().Settings().SetAccess(way, access_ip_->Text().toStdString(),
                                access_domain_->text().toStdString());
}

void CPWTConfigSettingView::SaveLimits() {
    Host().Settings().SetUploadSpeedLimit(
        KilobitsToBytesPerSecond(TypedNumber(speed_limit_->text())));
    Host().Settings().SetConnectionLimit(TypedNumber(connection_limit_->text()));
}

void CPWTConfigSettingView::DefaultPorts() {
    Host().Settings().SetTransferPort(settings::DefaultNumber("VP_Port"));
    Host().Settings().SetProtocolPort(settings::DefaultNumber("STS_Port"));
    LoadPorts();
}

void CPWTConfigSettingView::SavePorts() {
    Host().Settings().SetTransferPort(TypedNumber(transfer_port_->text()));
    Host().Settings().SetProtocolPort(TypedNumber(protocol_port_->text()));
}

void CPWTConfigSettingView::ChangeMasterId() {
    QString current = QString::fromStdString(Host().Settings().MasterId());
    CPWTChangeMasterIDDlg dialog(current, this);
    if (dialog.exec() == QDialog::Accepted) {
        ApplyNewMasterId(current, dialog.NewId());
    }
}

void CPWTConfigSettingView::ApplyNewMasterId(const QString& current, const QString& fresh) {
    if (fresh.compare(current, Qt::CaseInsensitive) == 0) {
        return;
    }
    Host().Settings().SetMasterId(fresh.toStdString());
    LoadMasterId();
}

void CPWTConfigSettingView::FocusField(int code) {
    QLineEdit* edit = nullptr;
    switch (code) {
        case host::kFieldTransferPort:
            edit = transfer_port_;
            break;
        case host::kFieldProtocolPort:
            edit = protocol_port_;
            break;
        case host::kFieldAccessIp:
            access_ip_->FocusFirstField();
            return;
        default:
            return;
    }
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
}

std::vector<ScreenshotDialog> CPWTConfigSettingView::ScreenshotDialogs() {
    QString current = QString::fromStdString(Host().Settings().MasterId());
    return {
        {QStringLiteral("dialog-master-id.png"),
         [current](QWidget* parent) -> std::unique_ptr<QWidget> {
             return std::make_unique<CPWTChangeMasterIDDlg>(current, parent);
         }},
        {QStringLiteral("dialog-master-id-error.png"),
         [current](QWidget* parent) -> std::unique_ptr<QWidget> {
             auto dialog = std::make_unique<CPWTChangeMasterIDDlg>(current, parent);
             dialog->findChild<QLineEdit*>(ObjectId(ids::kEditNewId))
                 ->setText(QStringLiteral("12345XYZ"));
             dialog->accept();
             return dialog;
         }},
    };
}

std::unique_ptr<CPWTPage> make_config_setting_page(const PageContext& context, QWidget* parent) {
    return std::make_unique<CPWTConfigSettingView>(context, parent);
}

}  // namespace wharfkeep::ui
