"""A proxy for the tests that stands in front of an HQ server and mangles its answers as told.

It runs as a child process (this file executed as a script with the upstream "ip:port" and a
JSON plan) and prints its port. Each client connection gets its own upstream connection; the
plan counts the data answers of a connection from 1 (the three set-up answers are not counted):

  repeat_soon: k   answer k is sent again `gap` seconds after it, unasked
  repeat_late: k   answer k is sent again once request k + 1 arrived, `gap` seconds before the
                   answer to k + 1
  wrong_header: k  answer k is only a header naming command 0x0FFF and announcing 1,000 bytes
  reshape: [k, how] the plain body of answer k cut to its first half ("half"), without its last
                   byte ("last"), with `pad` (hex) after it ("pad"), or 65,535 zero bytes
                   ("zeros"); sent compressed
  no_echo: true    header bytes 10 and 11 (where the server echoes the command) zeroed
  first_only: true the plan holds for the first connection only
"""
import json
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib


def _recv_exact(sock, n):
    buf = b""
    while len(buf) < n:
        part = sock.recv(n - len(buf))
        if not part:
            return None
        buf += part
    return buf


def _read_request(sock):
    head = _recv_exact(sock, 10)
    rest = head and _recv_exact(sock, struct.unpack_from("<H", head, 6)[0])
    return None if rest is None else head + rest


def _read_answer(sock):
    head = _recv_exact(sock, 16)
    body = head and _recv_exact(sock, struct.unpack_from("<H", head, 12)[0])
    return None if body is None else head + body


def _reshape(answer, how, pad):
    head, wire = answer[:16], answer[16:]
    z, u = struct.unpack_from("<HH", head, 12)
    body = wire if z == u else zlib.decompress(wire)
    body = {"half": body[:len(body) // 2], "last": body[:-1], "pad": body + bytes.fromhex(pad),
            "zeros": bytes(0xFFFF)}[how]
    wire = zlib.compress(body)
    return head[:12] + struct.pack("<HH", len(wire), len(body)) + wire


def _serve(client, upstream, plan, first):
    mangle = first or not plan.get("first_only")
    gap = plan.get("gap", 0.3)
    up = socket.create_connection(upstream)
    sent, n = {}, -3  # the set-up answers count up to 0
    with client, up:
        while True:
            request = _read_request(client)
            if request is None:
                return
            up.sendall(request)
            answer = _read_answer(up)
            if answer is None:
                return
            n += 1
            if mangle and plan.get("no_echo"):
                answer = answer[:10] + b"\0\0" + answer[12:]
            sent[n] = answer
            if not mangle or n <= 0:
                client.sendall(answer)
                continue
            if plan.get("repeat_late") == n - 1:
                client.sendall(sent[n - 1])
                time.sleep(gap)
            if plan.get("reshape", [None])[0] == n:
                answer = _reshape(answer, plan["reshape"][1], plan.get("pad", "00"))
            if plan.get("wrong_header") == n:
                answer = answer[:10] + struct.pack("<HHH", 0x0FFF, 1000, 1000)
            client.sendall(answer)
            if plan.get("repeat_soon") == n:
                time.sleep(gap)
                client.sendall(answer)


def _main(upstream, plan):
    host, port = upstream.rsplit(":", 1)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    first = True
    while True:
        client, _ = listener.accept()
        client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        threading.Thread(target=_serve, args=(client, (host, int(port)), plan, first),
                         daemon=True).start()
        first = False


class Mangler:
    """Handle on a mangling proxy in a child process: `with Mangler((host, port), plan) as
    address` gives the proxy's "127.0.0.1:port"."""

    def __init__(self, upstream, **plan):
        self.upstream, self.plan = f"{upstream[0]}:{upstream[1]}", plan

    def __enter__(self):
        self._proc = subprocess.Popen(
            [sys.executable, "-I", __file__, self.upstream, json.dumps(self.plan)],
            stdout=subprocess.PIPE, text=True)
        return f"127.0.0.1:{int(self._proc.stdout.readline())}"

    def __exit__(self, *exc):
        self._proc.kill()
        self._proc.wait()
        self._proc.stdout.close()


if __name__ == "__main__":
    _main(sys.argv[1], json.loads(sys.argv[2]))
