#pragma once
// Message boxes and questions of the window program behind one small interface, so that
// tests answer them by script and the screenshot tour never blocks on one.

#include <QString>

class QWidget;

namespace wharfkeep::ui {

enum class PromptIcon { Information, Warning, Error };

class Prompter {
public:
    virtual ~Prompter() = default;
    // A message with an OK button.
    virtual void Message(const QString& text, const QString& caption, PromptIcon icon) = 0;
    // Yes/No with a warning icon; true for Yes.
    virtual bool YesNo(const QString& text, const QString& caption) = 0;
    // OK/Cancel with a warning icon; true for OK.
    virtual bool OkCancel(const QString& text, const QString& caption) = 0;
};

// QMessageBox over the given parent (may be null).
class MessageBoxPrompter : public Prompter {
public:
    explicit MessageBoxPrompter(QWidget* parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }
    void Message(const QString& text, const QString& caption, PromptIcon icon) override;
    bool YesNo(const QString& text, const QString& caption) override;
    bool OkCancel(const QString& text, const QString& caption) override;

private:
    QWidget* parent_;
};

// The application title: captions, the tray tip, the single-instance name.
inline const QString kApplicationTitle = QStringLiteral("Wharfkeep");

}  // namespace wharfkeep::ui
