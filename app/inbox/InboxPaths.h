#pragma once

#include <QString>

// Where one inbox keeps its things. Each service socket gets its own history and its own
// instance lock, so that an inbox for a test service never touches the user's real one.
namespace InboxPaths {

inline const QString kDefaultSocket = QStringLiteral("/run/vorelin/inbox.socket");

// A short stable name for a socket path.
QString socketTag(const QString& socketPath);
// dataHome is $XDG_DATA_HOME; the default socket's history is inbox.json.
QString historyFile(const QString& dataHome, const QString& socketPath);
// runtimeDir is $XDG_RUNTIME_DIR, private to the user and gone at logout.
QString instanceSocket(const QString& runtimeDir, const QString& socketPath);

} // namespace InboxPaths
