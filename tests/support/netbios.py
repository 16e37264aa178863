# The scripts' hand-made name-service packets: a NetBIOS name in first-level encoding
# (RFC 1001, 14.1), with its length byte and the empty scope.
def encoded(name, suffix=0x03):
    raw = name.ljust(15).encode() + bytes([suffix])
    return b" " + bytes(c for b in raw for c in (0x41 + (b >> 4), 0x41 + (b & 15))) + b"\0"
