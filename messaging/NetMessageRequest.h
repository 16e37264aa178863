#pragma once

#include <QString>

// One message to send. A null QString is the null state: the send turns empty server and
// sender names into null before the platform call and leaves the recipient an empty string.
struct NetMessageRequest
{
    QString ServerName;  // the computer that carries out the send
    QString MsgName;     // recipient: computer name, user name or IP address
    QString FromName;    // sender name shown to the recipient
    QString MessageText; // body; an empty body is not sent
};
