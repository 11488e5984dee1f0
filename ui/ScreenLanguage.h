#pragma once

#include <QString>

#include <memory>

class QTranslator;

// The translator of the screen's words, built into the program: for the
// language of ui/language ("de", "fr"; LauncherSettings::uiLanguage), or,
// where it names none, for the locale (LANGUAGE, LC_ALL, LC_MESSAGES, LANG, as
// Qt reads them). Null where the words stay English. Installed on the
// application, it translates until it is destroyed.
std::unique_ptr<QTranslator> screenTranslator(const QString& language);
