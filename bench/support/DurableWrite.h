#pragma once

#include <QByteArray>
#include <QString>

// The floor a durable settings save is measured against: the bytes written whole to a fresh
// file in folder, synced, renamed over folder/anchor.conf and the folder synced, in plain C.
bool durableWrite(const QString& folder, const QByteArray& bytes);
