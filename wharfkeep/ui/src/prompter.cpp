#include <QMessageBox>

#include "wharfkeep/ui/prompter.h"

namespace wharfkeep::ui {
namespace {

QMessageBox::Icon BoxIcon(PromptIcon icon) {
    switch (icon) {
        case PromptIcon::Warning:
            return QMessageBox::Warning;
        case PromptIcon::Error:
            return QMessageBox::Critical;
        case PromptIcon::Information:
        default:
            return QMessageBox::Information;
    }
}

}  // namespace

void MessageBoxPrompter::Message(const QString& text, const QString& caption, PromptIcon icon) {
    QMessageBox box(BoxIcon(icon), caption, text, QMessageBox::Ok, parent_);
    box.exec();
}

bool MessageBoxPrompter::YesNo(const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Yes | QMessageBox::No,
                    parent_);
    return box.exec() == QMessageBox::Yes;
}

bool MessageBoxPrompter::OkCancel(const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Ok | QMessageBox::Cancel,
                    parent_);
    return box.exec() == QMessageBox::Ok;
}

}  // namespace wharfkeep::ui
