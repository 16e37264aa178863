#pragma once

#include <QString>

// This machine's IP address text and computer name, as the platform reports them now.
QString GetLocalIPAddress();
QString GetLocalComputerName();
