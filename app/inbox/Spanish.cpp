#include "app/inbox/Spanish.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

QLocale Spanish::locale()
{
    return QLocale(QLocale::Spanish, QLocale::Spain);
}

bool Spanish::installQtTranslations(QCoreApplication& app)
{
    auto* translator = new QTranslator(&app);
    // By file name, not by the session's locale, which may be anything.
    if (!translator->load(QStringLiteral("qtbase_es"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return false;
    }
    return QCoreApplication::installTranslator(translator);
}
