#pragma once
// CPWTChangeMasterIDDlg (dialog 323, "更换ID"): shows the current Master ID and asks for a
// new one. OK closes the dialog only for exactly 18 hexadecimal digits (white space at both
// ends is trimmed); anything else shows the red error label and keeps the dialog open.

#include <QDialog>

class QLabel;
class QLineEdit;

namespace wharfkeep::ui {

inline constexpr const char* kMasterIdError =
    QT_TRANSLATE_NOOP("wharfkeep::ui::CPWTChangeMasterIDDlg", "新ID格式有误，请重新输入。");

class CPWTChangeMasterIDDlg : public QDialog {
    Q_OBJECT
public:
    CPWTChangeMasterIDDlg(const QString& current_id, QWidget* parent = nullptr);

    QString CurrentId() const { return current_id_; }
    // The accepted new identity (trimmed); empty until OK accepted one.
    QString NewId() const { return new_id_; }
    bool ErrorShown() const;

public slots:
    void accept() override;

private:
    QString current_id_;
    QString new_id_;
    QLineEdit* new_edit_ = nullptr;
    QLabel* error_ = nullptr;
};

}  // namespace wharfkeep::ui
