#pragma once

#include <QLocale>

class QCoreApplication;

// The inbox speaks Spanish whatever the session's language: its dates, and Qt's own texts
// (context menus, standard buttons), so that no window mixes two languages.
namespace Spanish {

QLocale locale();

// Loads Qt's Spanish translations (the qt6-translations-l10n package) into the application.
// False when they are not installed; Qt's own texts then stay in English.
bool installQtTranslations(QCoreApplication& app);

} // namespace Spanish
