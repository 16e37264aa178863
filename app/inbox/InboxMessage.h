#pragma once

#include <QString>

// One received message as the service hands it over, and as the history keeps it.
struct InboxMessage
{
    QString key;      // the history's own name for the entry; empty until it is kept
    QString id;       // the service's spool id, what an acknowledgement names
    QString from;     // sender name
    QString machine;  // calling NetBIOS name of the sender's machine
    QString address;  // source IPv4 address, as text
    QString called;   // the NetBIOS name the session was called to
    QString to;       // the destination name as the sender wrote it
    QString received; // ISO 8601 with UTC offset
    QString text;
    bool unread = true;
};
