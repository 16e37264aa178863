#pragma once

#include <QString>

// Where one inbox keeps its things. The history is the user's, whatever service it came
// through; each service socket gets its own instance lock.
namespace InboxPaths {

inline const QString kDefaultSocket = QStringLiteral("/run/vorelin/inbox.socket");

// A short stable name for a socket path.
QString socketTag(const QString& socketPath);
// dataHome is $XDG_DATA_HOME; earlier versions' JSON histories lie beside the database.
QString historyFile(const QString& dataHome);
// runtimeDir is $XDG_RUNTIME_DIR, private to the user and gone at logout.
QString instanceSocket(const QString& runtimeDir, const QString& socketPath);

} // namespace InboxPaths
