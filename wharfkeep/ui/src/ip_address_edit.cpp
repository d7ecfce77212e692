#include "ip_address_edit.h"

#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>

namespace wharfkeep::ui {

CIPAddressEdit::CIPAddressEdit(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (i > 0) {
            layout->addWidget(new QLabel(QStringLiteral("."), this));
        }
        auto* field = new QLineEdit(this);
        field->setObjectName(QStringLiteral("octet%1").arg(i));
        field->setValidator(new QIntValidator(0, 255, field));
        field->setMaxLength(3);
        field->setAlignment(Qt::AlignCenter);
        // Three digits and the line edit's own margins: two editors and their buttons fit
        // the IP filter page beside the navigation of an 800-wide window.
        field->setFixedWidth(field->fontMetrics().horizontalAdvance(QStringLiteral("000")) + 12);
        fields_[i] = field;
        layout->addWidget(field);
        // A full field or a typed dot moves on to the next one, as the classic control does.
        if (i + 1 < fields_.size()) {
            connect(field, &QLineEdit::textEdited, this, [this, i](const QString& text) {
                if (text.endsWith(QLatin1Char('.'))) {
                    fields_[i]->setText(text.chopped(1));
                    fields_[i + 1]->setFocus();
                    fields_[i + 1]->selectAll();
                } else if (text.size() == 3) {
                    fields_[i + 1]->setFocus();
                    fields_[i + 1]->selectAll();
                }
            });
        }
    }
    layout->addStretch();
    setFocusProxy(fields_[0]);
}

std::uint32_t CIPAddressEdit::Address() const {
    std::uint32_t address = 0;
    for (QLineEdit* field : fields_) {
        address = (address << 8) | (field->text().toUInt() & 0xFFu);
    }
    return address;
}

void CIPAddressEdit::SetAddress(std::uint32_t address) {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        fields_[i]->setText(QString::number((address >> (24 - 8 * i)) & 0xFFu));
    }
}

void CIPAddressEdit::SetText(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('.'));
    std::uint32_t address = 0;
    for (int i = 0; i < 4; ++i) {
        long long value = 0;
        if (i < parts.size()) {
            // Leading digits count, like "%d" reads them; anything else is 0.
            QString digits;
            for (QChar c : parts[i].trimmed()) {
                if (!c.isDigit() || digits.size() >= 9) {
                    break;
                }
                digits += c;
            }
            value = digits.toLongLong();
        }
        address = (address << 8) | static_cast<std::uint32_t>(value % 256);
    }
    SetAddress(address);
}

QString CIPAddressEdit::Text() const {
    std::uint32_t address = Address();
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xFFu)
        .arg((address >> 8) & 0xFFu)
        .arg(address & 0xFFu);
}

void CIPAddressEdit::Clear() {
    for (QLineEdit* field : fields_) {
        field->clear();
    }
}

void CIPAddressEdit::FocusFirstField() {
    fields_[0]->setFocus();
    fields_[0]->selectAll();
}

}  // namespace wharfkeep::ui
