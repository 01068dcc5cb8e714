"""pelmora at work without a network: write a small .day file, read it back, probe a server list.

Run after `pip install .`:  python examples/quickstart.py
"""
import os
import socket
import struct
import tempfile

import pelmora

# A .day file is an array of 32-byte records: date, open, high, low, close (price units),
# amount (float32), volume, reserved.
records = [
    (20240102, 1050, 1075, 1041, 1068, 2.5e8, 1_234_500, 0),
    (20240103, 1068, 1090, 1060, 1083, 3.1e8, 1_502_000, 0),
    (20240104, 1083, 1085, 1052, 1055, 2.2e8, 1_101_300, 0),
]
path = os.path.join(tempfile.mkdtemp(), "sh600036.day")
with open(path, "wb") as f:
    for r in records:
        f.write(struct.pack("<5IfII", *r))

print(f"Daily bars of {path}:")
for bar in pelmora.read_daily_bars(path):
    print(f"  {bar['date']}  open {bar['open']:7.2f}  close {bar['close']:7.2f}  volume {bar['volume']:12.2f}")

# Latency probe: one listening port on this machine, one closed port, one host name (never resolved).
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen()
closed = socket.socket()
closed.bind(("127.0.0.1", 0))
servers = [("127.0.0.1", closed.getsockname()[1]), ("127.0.0.1", listener.getsockname()[1]),
           ("example.com", 7709)]
closed.close()
print("Server latencies (ms, 9999 = unreachable), fastest first:")
for ip, port, ms in pelmora.ping_servers(servers):
    print(f"  {ip}:{port}  {ms}")

# A client without a connection refuses commands with a clear error.
client = pelmora.TdxClient()
try:
    client.get_security_count(1)
except ConnectionError as e:
    print(f"TdxClient before connect(): {type(e).__name__}: {e}")
