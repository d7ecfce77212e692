#pragma once
// A four-field IPv4 editor (the IP address control): four boxes of 0..255 separated by dots.
// A blank editor reads as 0.0.0.0.

#include <QWidget>

#include <array>
#include <cstdint>

class QLineEdit;

namespace wharfkeep::ui {

class CIPAddressEdit : public QWidget {
    Q_OBJECT
public:
    explicit CIPAddressEdit(QWidget* parent = nullptr);

    // First octet most significant.
    std::uint32_t Address() const;
    void SetAddress(std::uint32_t address);
    // "%d.%d.%d.%d" read leniently: each part taken modulo 256, missing parts 0.
    void SetText(const QString& text);
    // The four parts as "%d.%d.%d.%d".
    QString Text() const;
    void Clear();
    // Focuses the first field.
    void FocusFirstField();
    QLineEdit* Field(int index) const { return fields_[static_cast<std::size_t>(index)]; }

private:
    std::array<QLineEdit*, 4> fields_{};
};

}  // namespace wharfkeep::ui
