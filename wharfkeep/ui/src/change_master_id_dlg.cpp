#include "change_master_id_dlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "wharfkeep/host/settings.h"
#include "wharfkeep/ui/ui_ids.h"

namespace wharfkeep::ui {

CPWTChangeMasterIDDlg::CPWTChangeMasterIDDlg(const QString& current_id, QWidget* parent)
    : QDialog(parent), current_id_(current_id) {
    setObjectName(ObjectId(ids::kChangeMasterIdDialog));
    setWindowTitle(tr("更换ID"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout();
    auto* current = new QLineEdit(current_id, this);
    current->setObjectName(ObjectId(ids::kEditCurrentId));
    current->setReadOnly(true);
    new_edit_ = new QLineEdit(this);
    new_edit_->setObjectName(ObjectId(ids::kEditNewId));
    new_edit_->setMinimumWidth(new_edit_->fontMetrics().horizontalAdvance(QString(22, 'D')));
    form->addRow(tr("当前ID："), current);
    form->addRow(tr("新ID："), new_edit_);
    layout->addLayout(form);
    layout->addWidget(new QLabel(tr("注：请正确输入您的18位ID。"), this));
    error_ = new QLabel(tr(kMasterIdError), this);
    error_->setObjectName(ObjectId(ids::kLabelIdError));
    error_->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0);"));
    error_->hide();
    layout->addWidget(error_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("确定"));
    connect(buttons, &QDialogButtonBox::accepted, this, &CPWTChangeMasterIDDlg::accept);
    layout->addWidget(buttons);
}

bool CPWTChangeMasterIDDlg::ErrorShown() const {
    return !error_->isHidden();
}

void CPWTChangeMasterIDDlg::accept() {
    std::optional<std::string> valid = host::ValidMasterId(new_edit_->text().toStdString());
    if (!valid) {
        error_->show();
        return;
    }
    new_id_ = QString::fromStdString(*valid);
    QDialog::accept();
}

}  // namespace wharfkeep::ui
