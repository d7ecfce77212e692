#include "wharfkeep/ui/translations.h"

#include <QCoreApplication>
#include <QTranslator>

#include <array>
#include <memory>

#include "wharfkeep/host/server_host.h"

// The translations live in the static window library; their resource is registered
// explicitly.
static void InitTranslationResources() {
    Q_INIT_RESOURCE(translations);
}

namespace wharfkeep::ui {
namespace {

// The translators installed now; QCoreApplication keeps only pointers to them.
struct InstalledTranslators {
    WindowLanguage language = WindowLanguage::Chinese;
    std::unique_ptr<QTranslator> qt;
    std::unique_ptr<QTranslator> window;
};

InstalledTranslators& Installed() {
    static InstalledTranslators installed;
    return installed;
}

std::unique_ptr<QTranslator> Load(const QString& resource) {
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(resource) || !QCoreApplication::installTranslator(translator.get())) {
        return nullptr;
    }
    return translator;
}

// The questions the host asks, with at most one value each.
constexpr std::array kHostQuestions = {host::kResumeQuestion, host::kAccessAddressQuestion,
                                       host::kTransferPortConflict, host::kProtocolPortConflict};

}  // namespace

WindowLanguage LanguageFor(const QLocale& locale) {
    return locale.language() == QLocale::Chinese ? WindowLanguage::Chinese
                                                 : WindowLanguage::English;
}

bool InstallTranslations(WindowLanguage language) {
    InitTranslationResources();
    InstalledTranslators& installed = Installed();
    for (std::unique_ptr<QTranslator>* slot : {&installed.qt, &installed.window}) {
        if (*slot != nullptr) {
            QCoreApplication::removeTranslator(slot->get());
            slot->reset();
        }
    }
    installed.language = language;
    if (language == WindowLanguage::Chinese) {
        // The window's own texts are Chinese already; Qt's (standard buttons, file dialogs,
        // edit menus) are English unless translated.
        installed.qt = Load(QStringLiteral(":/i18n/qtbase_zh_CN.qm"));
        return installed.qt != nullptr;
    }
    installed.window = Load(QStringLiteral(":/i18n/wharfkeep_en.qm"));
    return installed.window != nullptr;
}

WindowLanguage CurrentLanguage() {
    return Installed().language;
}

QString HostText(const std::string& text) {
    for (const char* pattern : kHostQuestions) {
        const std::string_view whole(pattern);
        const std::size_t at = whole.find('%');
        if (at == std::string_view::npos || at + 1 >= whole.size()) {
            if (text == whole) {
                return QCoreApplication::translate("HostQuestion", pattern);
            }
            continue;
        }
        const std::string_view before = whole.substr(0, at);
        const std::string_view after = whole.substr(at + 2);
        if (text.size() < before.size() + after.size() || !text.starts_with(before) ||
            !text.ends_with(after)) {
            continue;
        }
        const std::string value =
            text.substr(before.size(), text.size() - before.size() - after.size());
        QString translated = QCoreApplication::translate("HostQuestion", pattern);
        const QString placeholder = QString::fromLatin1(whole.substr(at, 2));
        return translated.replace(placeholder, QString::fromStdString(value));
    }
    return QString::fromStdString(text);
}

QString NavigationText(const std::string& label) {
    return QCoreApplication::translate("Navigation", label.c_str());
}

}  // namespace wharfkeep::ui
