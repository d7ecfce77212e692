#include "ip_filter_view.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "ip_address_edit.h"
#include "wharfkeep/host/settings.h"
#include "wharfkeep/ui/pages.h"
#include "wharfkeep/ui/ui_ids.h"

namespace wharfkeep::ui {

CPWTIPFilterView::CPWTIPFilterView(const PageContext& context, QWidget* parent)
    : CPWTPage(context, parent) {
    setObjectName(ObjectId(ids::kIpFilterPage));
    auto* layout = new QVBoxLayout(this);

    enabled_ = new QCheckBox(QStringLiteral("启用以下设置"), this);
    enabled_->setObjectName(ObjectId(ids::kCheckUseFilter));
    layout->addWidget(enabled_);

    auto* type_group = new QGroupBox(QStringLiteral("过滤类型："), this);
    auto* type_layout = new QVBoxLayout(type_group);
    allow_ = new QRadioButton(QStringLiteral("允许以下IP访问（未列出的IP将被禁止）"), type_group);
    allow_->setObjectName(ObjectId(ids::kRadioAllowList));
    deny_ = new QRadioButton(QStringLiteral("禁止以下IP访问（未列出的IP将被允许）"), type_group);
    deny_->setObjectName(ObjectId(ids::kRadioDenyList));
    auto* radios = new QButtonGroup(type_group);
    radios->addButton(allow_);
    radios->addButton(deny_);
    type_layout->addWidget(allow_);
    type_layout->addWidget(deny_);
    layout->addWidget(type_group);

    auto* rule_group = new QGroupBox(QStringLiteral("过滤规则："), this);
    auto* rules = new QGridLayout(rule_group);
    begin_ = new CIPAddressEdit(rule_group);
    begin_->setObjectName(ObjectId(ids::kEditBeginIp));
    end_ = new CIPAddressEdit(rule_group);
    end_->setObjectName(ObjectId(ids::kEditEndIp));
    rules->addWidget(new QLabel(QStringLiteral("起始IP地址"), rule_group), 0, 0);
    rules->addWidget(new QLabel(QStringLiteral("结束IP地址（可与起始IP地址相同）"), rule_group), 0,
                     2);
    rules->addWidget(begin_, 1, 0);
    rules->addWidget(new QLabel(QStringLiteral("~"), rule_group), 1, 1);
    rules->addWidget(end_, 1, 2);
    auto* add = new QPushButton(QStringLiteral("添加"), rule_group);
    add->setObjectName(ObjectId(ids::kButtonAddRange));
    auto* remove = new QPushButton(QStringLiteral("删除"), rule_group);
    remove->setObjectName(ObjectId(ids::kButtonDeleteRange));
    rules->addWidget(add, 1, 3);
    rules->addWidget(remove, 1, 4);
    rules->setColumnStretch(5, 1);
    layout->addWidget(rule_group);

    list_ = new QTableWidget(0, 2, this);
    list_->setObjectName(ObjectId(ids::kListRanges));
    list_->setHorizontalHeaderLabels({QStringLiteral("IP起始地址"), QStringLiteral("IP结束地址")});
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setShowGrid(true);
    list_->verticalHeader()->hide();
    list_->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    list_->setColumnWidth(0, 300);
    list_->setColumnWidth(1, 300);
    layout->addWidget(list_, 1);

    connect(enabled_, &QCheckBox::clicked, this, &CPWTIPFilterView::OnEnabledClicked);
    connect(allow_, &QRadioButton::clicked, this, [this] { OnListTypeChosen(false); });
    connect(deny_, &QRadioButton::clicked, this, [this] { OnListTypeChosen(true); });
    connect(add, &QPushButton::clicked, this, &CPWTIPFilterView::AddRange);
    connect(remove, &QPushButton::clicked, this, &CPWTIPFilterView::DeleteSelected);
}

void CPWTIPFilterView::OnPageShown() {
    if (list_not_loaded_) {
        list_not_loaded_ = false;
        LoadList();
    }
}

void CPWTIPFilterView::LoadList() {
    host::IpFilterState state = Doc().IpFilter().Snapshot();
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
}

void CPWTIPFilterView::OnEnabledClicked(bool checked) {
    // Takes effect for the next accepted connection; the ranges stay as they are.
    Doc().IpFilter().SetEnabled(checked);
}

void CPWTIPFilterView::OnListTypeChosen(bool deny) {
    if (Doc().IpFilter().SetDenyList(deny)) {
        LoadList();
    }
}

void CPWTIPFilterView::AddRange() {
    Doc().IpFilter().AddRange(begin_->Address(), end_->Address());
    LoadList();
}

void CPWTIPFilterView::DeleteSelected() {
    const QModelIndexList rows = list_->selectionModel()->selectedRows();
    if (!rows.isEmpty()) {
        int first = rows.front().row();
        for (const QModelIndex& index : rows) {
            first = std::min(first, index.row());
        }
        Doc().DeleteIpFilterEntry(static_cast<std::size_t>(first));
    }
    LoadList();
}

std::unique_ptr<CPWTPage> make_ip_filter_page(const PageContext& context, QWidget* parent) {
    return std::make_unique<CPWTIPFilterView>(context, parent);
}

}  // namespace wharfkeep::ui
