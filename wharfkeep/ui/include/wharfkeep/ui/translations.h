#pragma once
// The window's language. The designed texts are Chinese and stay the source texts in the code;
// under a Chinese system locale the window shows them as they are (with Qt's own dialog texts
// in Chinese too), under any other locale it shows their English translation. Both
// translations are compiled into the program.

#include <QLocale>
#include <QString>

#include <string>

namespace wharfkeep::ui {

enum class WindowLanguage { Chinese, English };

// Chinese for a Chinese locale (zh_*), English for every other one, the C locale included.
WindowLanguage LanguageFor(const QLocale& locale);

// Installs the translators of `language` into the application, replacing those an earlier
// call installed. False when a compiled-in translation failed to load.
bool InstallTranslations(WindowLanguage language);
// The language last installed; Chinese, the designed texts, before any.
WindowLanguage CurrentLanguage();

// A text the host hands to the window (a navigation label, a question), in the window's
// language. A question with a value in it ("%s", "%u") is matched against its pattern and
// the value carried into the translation; a text the window does not know stays as it is.
QString HostText(const std::string& text);
// The label of a navigation node that is not a directory.
QString NavigationText(const std::string& label);

}  // namespace wharfkeep::ui
