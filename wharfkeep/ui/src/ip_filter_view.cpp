#include "ip_filter_view.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <fstream>

#include "ip_address_edit.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/iprules/block_list.h"
#include "wharfkeep/ui/pages.h"
#include "wharfkeep/ui/prompter.h"
#include "wharfkeep/ui/ui_ids.h"

namespace wharfkeep::ui {
namespace {

constexpr qsizetype kReportLinesShown = 16;

}  // namespace

CPWTIPFilterView::CPWTIPFilterView(const PageContext& context, QWidget* parent)
    : CPWTPage(context, parent) {
    setObjectName(ObjectId(ids::kIpFilterPage));
    auto* layout = new QVBoxLayout(this);

    enabled_ = new QCheckBox(tr("启用以下设置"), this);
    enabled_->setObjectName(ObjectId(ids::kCheckUseFilter));
    layout->addWidget(enabled_);

    auto* type_group = new QGroupBox(tr("过滤类型："), this);
    auto* type_layout = new QVBoxLayout(type_group);
    allow_ = new QRadioButton(tr("允许以下IP访问（未列出的IP将被禁止）"), type_group);
    allow_->setObjectName(ObjectId(ids::kRadioAllowList));
    deny_ = new QRadioButton(tr("禁止以下IP访问（未列出的IP将被允许）"), type_group);
    deny_->setObjectName(ObjectId(ids::kRadioDenyList));
    auto* radios = new QButtonGroup(type_group);
    radios->addButton(allow_);
    radios->addButton(deny_);
    type_layout->addWidget(allow_);
    type_layout->addWidget(deny_);
    layout->addWidget(type_group);

    auto* rule_group = new QGroupBox(tr("过滤规则："), this);
    auto* rules = new QGridLayout(rule_group);
    begin_ = new CIPAddressEdit(rule_group);
    begin_->setObjectName(ObjectId(ids::kEditBeginIp));
    end_ = new CIPAddressEdit(rule_group);
    end_->setObjectName(ObjectId(ids::kEditEndIp));
    rules->addWidget(new QLabel(tr("起始IP地址"), rule_group), 0, 0);
    rules->addWidget(new QLabel(tr("结束IP地址（可与起始IP地址相同）"), rule_group), 0, 2);
    rules->addWidget(begin_, 1, 0);
    rules->addWidget(new QLabel(QStringLiteral("~"), rule_group), 1, 1);
    rules->addWidget(end_, 1, 2);
    auto* add = new QPushButton(tr("添加"), rule_group);
    add->setObjectName(ObjectId(ids::kButtonAddRange));
    auto* remove = new QPushButton(tr("删除"), rule_group);
    remove->setObjectName(ObjectId(ids::kButtonDeleteRange));
    rules->addWidget(add, 1, 3);
    rules->addWidget(remove, 1, 4);
    rules->setColumnStretch(5, 1);
    // Ranges written out, and whole block lists, beside the two editors; one row of its own
    // so that the page needs no more width than the designed controls.
    auto* text_row = new QHBoxLayout();
    range_text_ = new QLineEdit(rule_group);
    range_text_->setObjectName(ObjectId(ids::kEditRangeText));
    range_text_->setPlaceholderText(tr("IP段：10.0.0.0/8 或 1.2.3.0-1.2.3.255"));
    text_row->addWidget(range_text_, 1);
    auto* add_text = new QPushButton(tr("添加IP段"), rule_group);
    add_text->setObjectName(ObjectId(ids::kButtonAddRangeText));
    text_row->addWidget(add_text);
    auto* import = new QPushButton(tr("导入..."), rule_group);
    import->setObjectName(ObjectId(ids::kButtonImportList));
    text_row->addWidget(import);
    auto* export_list = new QPushButton(tr("导出..."), rule_group);
    export_list->setObjectName(ObjectId(ids::kButtonExportList));
    text_row->addWidget(export_list);
    rules->addLayout(text_row, 2, 0, 1, 5);
    layout->addWidget(rule_group);
    counts_ = new QLabel(this);
    counts_->setObjectName(ObjectId(ids::kLabelListCounts));
    layout->addWidget(counts_);

    list_ = new QTableWidget(0, 2, this);
    list_->setObjectName(ObjectId(ids::kListRanges));
    list_->setHorizontalHeaderLabels({tr("IP起始地址"), tr("IP结束地址")});
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setShowGrid(true);
    list_->verticalHeader()->hide();
    list_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // The two addresses share the page's width.
    list_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    layout->addWidget(list_, 1);

    connect(enabled_, &QCheckBox::clicked, this, &CPWTIPFilterView::OnEnabledClicked);
    connect(allow_, &QRadioButton::clicked, this, [this] { OnListTypeChosen(false); });
    connect(deny_, &QRadioButton::clicked, this, [this] { OnListTypeChosen(true); });
    connect(add, &QPushButton::clicked, this, &CPWTIPFilterView::AddRange);
    connect(remove, &QPushButton::clicked, this, &CPWTIPFilterView::DeleteSelected);
    connect(add_text, &QPushButton::clicked, this, &CPWTIPFilterView::AddRangeText);
    connect(range_text_, &QLineEdit::returnPressed, this, &CPWTIPFilterView::AddRangeText);
    connect(import, &QPushButton::clicked, this, &CPWTIPFilterView::ChooseAndImport);
    connect(export_list, &QPushButton::clicked, this, &CPWTIPFilterView::ChooseAndExport);
}

void CPWTIPFilterView::OnPageShown() {
    if (list_not_loaded_) {
        list_not_loaded_ = false;
        LoadList();
    }
}

void CPWTIPFilterView::LoadList() {
    host::IpFilterState state = Host().IpFilter().Rules();
    list_->setRowCount(0);
    enabled_->setChecked(state.enabled);
    allow_->setChecked(!state.deny_list);
    deny_->setChecked(state.deny_list);
    list_->setRowCount(static_cast<int>(state.ranges.size()));
    int row = 0;
    for (const host::IpFilterRange& range : state.ranges) {
        list_->setItem(row, 0,
                       new QTableWidgetItem(QString::fromStdString(host::FormatIpv4(range.begin))));
        list_->setItem(row, 1,
                       new QTableWidgetItem(QString::fromStdString(host::FormatIpv4(range.end))));
        ++row;
    }
    // Both lists keep their rows; say so, so that a switch never seems to lose ranges.
    const host::IpListCounts counts = Host().IpFilter().ListSizes();
    counts_->setText(tr("允许列表：%1 条　禁止列表：%2 条　（当前使用：%3）")
                         .arg(counts.allow)
                         .arg(counts.deny)
                         .arg(state.deny_list ? tr("禁止列表") : tr("允许列表")));
}

void CPWTIPFilterView::OnEnabledClicked(bool checked) {
    // Takes effect for the next accepted connection; the ranges stay as they are.
    Host().IpFilter().SetEnabled(checked);
}

void CPWTIPFilterView::OnListTypeChosen(bool deny) {
    if (Host().IpFilter().SetDenyList(deny)) {
        LoadList();
    }
}

void CPWTIPFilterView::AddRange() {
    Host().IpFilter().AddRange(begin_->Address(), end_->Address());
    LoadList();
}

void CPWTIPFilterView::AddRangeText() {
    const iprules::RangeParse parsed = iprules::ParseRange(range_text_->text().toStdString());
    if (!parsed.range) {
        Prompts().Message(tr("IP段格式有误：") + QString::fromStdString(parsed.error),
                          kApplicationTitle, PromptIcon::Warning);
        return;
    }
    Host().IpFilter().AddRange(parsed.range->first, parsed.range->last);
    range_text_->clear();
    LoadList();
}

void CPWTIPFilterView::ChooseAndImport() {
    const QString file = QFileDialog::getOpenFileName(this, tr("导入IP列表"));
    if (!file.isEmpty()) {
        ImportFile(file.toStdString());
    }
}

void CPWTIPFilterView::ImportFile(const std::filesystem::path& file) {
    std::string error;
    const std::optional<std::string> bytes = iprules::ReadBlockListFile(file, error);
    if (!bytes) {
        Prompts().Message(QString::fromStdString(file.string() + ": " + error), kApplicationTitle,
                          PromptIcon::Error);
        return;
    }
    const iprules::BlockList list = iprules::ParseBlockList(*bytes);
    const host::IpImportResult result = Host().IpFilter().ImportRanges(list.ranges);
    LoadList();
    // The summary and the first refused lines; a message box cannot hold a thousand.
    const QString report = QString::fromStdString(iprules::DescribeReport(list.report));
    QStringList lines = report.split('\n', Qt::SkipEmptyParts);
    if (lines.size() > kReportLinesShown) {
        lines = lines.mid(0, kReportLinesShown);
        lines.append(QStringLiteral("..."));
    }
    const QString outcome =
        result.stored ? tr("已添加 %1 条，%2 条已在列表中。").arg(result.added).arg(result.already)
                      : tr("数据库写入失败，未添加任何IP段。");
    Prompts().Message(lines.join('\n') + '\n' + outcome, kApplicationTitle,
                      result.stored ? PromptIcon::Information : PromptIcon::Error);
}

void CPWTIPFilterView::ChooseAndExport() {
    const QString file =
        QFileDialog::getSaveFileName(this, tr("导出IP列表"), QStringLiteral("ipfilter.txt"));
    if (!file.isEmpty() && !ExportFile(file.toStdString())) {
        Prompts().Message(tr("无法写入文件：") + file, kApplicationTitle, PromptIcon::Error);
    }
}

bool CPWTIPFilterView::ExportFile(const std::filesystem::path& file) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(out << Host().IpFilter().ExportActiveList()) &&
           static_cast<bool>(out.flush());
}

void CPWTIPFilterView::DeleteSelected() {
    const QModelIndexList rows = list_->selectionModel()->selectedRows();
    if (!rows.isEmpty()) {
        int first = rows.front().row();
        for (const QModelIndex& index : rows) {
            first = std::min(first, index.row());
        }
        Host().IpFilter().DeleteEntry(static_cast<std::size_t>(first));
    }
    LoadList();
}

std::unique_ptr<CPWTPage> make_ip_filter_page(const PageContext& context, QWidget* parent) {
    return std::make_unique<CPWTIPFilterView>(context, parent);
}

}  // namespace wharfkeep::ui
