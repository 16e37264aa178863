#pragma once

#include <QString>

class ComputerName;
class NetworkAdapters;

// This machine's IP address text and computer name, asking the given platform services.
//
// The address is that of the first adapter, in the platform's order, whose first address
// field is not empty once cut at its first NUL; any text counts, 0.0.0.0 included. The other
// addresses of an adapter are never looked at. Empty when the platform lists nothing or fails.
QString GetLocalIPAddress(NetworkAdapters& adapters);
// The name that the platform writes into a 16-byte buffer of spaces, read back whole and cut
// at its first NUL: a platform that writes nothing leaves 16 spaces.
QString GetLocalComputerName(ComputerName& computer);
