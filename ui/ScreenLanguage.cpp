#include "ScreenLanguage.h"

#include <QCoreApplication>
#include <QLocale>
#include <QTranslator>

namespace {

// Where the build puts launcher-ui_LANG.qm (ui/CMakeLists.txt).
const QString Folder = QStringLiteral(":/translations");
const QString Name = QStringLiteral("launcher-ui");

} // namespace

std::unique_ptr<QTranslator> screenTranslator(const QString& language)
{
    // English is the words themselves.
    if (language == QLatin1String("en"))
        return nullptr;
    auto translator = std::make_unique<QTranslator>();
    const bool loaded = language.isEmpty()
                            ? translator->load(QLocale(), Name, QStringLiteral("_"), Folder)
                            : translator->load(Name + QLatin1Char('_') + language, Folder);
    // The settings reader named a language that the build has: a file that
    // does not load is a fault of the build.
    if (!loaded && !language.isEmpty())
        qWarning("The screen's translation for '%s' is missing; its words stay English",
                 qUtf8Printable(language));
    if (!loaded || !QCoreApplication::installTranslator(translator.get()))
        return nullptr;
    return translator;
}
