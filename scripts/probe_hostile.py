#!/usr/bin/env python3
"""Hostile-client probe of a running zoltcfgd (driven by scripts/probe-hostile.sh).

A normal client on one kept connection sends database-status requests (341) and times each
round trip, first alone (quiet), then while COUNT hostile connections are open: a third send a
frame header announcing 60 MiB and nothing more, a third send a frame one byte at a time (a
byte per connection and second), a third send query-all requests (315) whose subject count is
far beyond their bytes, one a second. It prints the daemon's peak resident memory (VmHWM)
and both p99 latencies, and exits 1 when the memory goal (under 64 MB) is missed."""
import resource
import socket
import struct
import sys
import time

REQUEST, REPLY = b"ZRQ1", b"ZRP1"


def frame(payload):
    return REQUEST + struct.pack("<I", len(payload)) + payload


def wstr(text):
    data = text.encode()
    return struct.pack("<I", len(data)) + data


def read_reply(sock):
    head = b""
    while len(head) < 8:
        chunk = sock.recv(8 - len(head))
        if not chunk:
            raise ConnectionError("the daemon closed the normal client's connection")
        head += chunk
    if head[:4] != REPLY:
        raise ConnectionError("not a reply frame")
    left = struct.unpack("<I", head[4:])[0]
    while left:
        chunk = sock.recv(min(left, 65536))
        if not chunk:
            raise ConnectionError("reply cut short")
        left -= len(chunk)


def p99(samples):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]


def measure(sock, rounds, tick=None, seconds=0.0):
    status = frame(struct.pack("<i", 341))
    samples = []
    end = time.monotonic() + seconds
    i = 0
    while i < rounds or time.monotonic() < end:
        i += 1
        start = time.perf_counter()
        sock.sendall(status)
        read_reply(sock)
        samples.append(time.perf_counter() - start)
        if tick and i % 50 == 0:
            tick()
    return samples


def vmhwm_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def main():
    path, pid, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, count + 256)), hard))
    normal = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    normal.settimeout(10)
    normal.connect(path)
    quiet = measure(normal, 2000)

    hostile, slow, liars = [], [], []
    lying = frame(struct.pack("<i", 315) + wstr("localhost") + wstr("QV_VirusScan")
                  + struct.pack("<i", 0x7FFFFFFF) + wstr("A"))
    slow_bytes = frame(struct.pack("<i", 341) + b"\0" * 64)
    refused = 0
    for i in range(count):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.setblocking(False)
        try:
            s.connect(path)
            kind = i % 3
            if kind == 0:
                s.send(REQUEST + struct.pack("<I", 60 * 1024 * 1024))
            elif kind == 1:
                slow.append([s, 0])
            else:
                s.send(lying)
                liars.append(s)
        except OSError:
            refused += 1
        hostile.append(s)
    last = [time.monotonic()]

    def tick():
        now = time.monotonic()
        if now - last[0] >= 1.0:
            last[0] = now
            for entry in slow:
                try:
                    entry[0].send(slow_bytes[entry[1] % len(slow_bytes):][:1])
                    entry[1] += 1
                except OSError:
                    pass
            for s in liars:
                try:
                    s.recv(65536)
                    s.send(lying)
                except OSError:
                    pass

    busy = measure(normal, 4000, tick, 5.0)
    peak = vmhwm_kb(pid)
    for s in hostile:
        s.close()
    quiet99, busy99 = p99(quiet) * 1e6, p99(busy) * 1e6
    print(f"hostile connections: {count} ({refused} refused at connect)")
    print(f"daemon peak resident memory (VmHWM): {peak / 1024:.1f} MB (goal: under 64 MB)")
    print(f"normal client p99: quiet {quiet99:.0f} us, under attack {busy99:.0f} us, "
          f"ratio {busy99 / quiet99:.2f} (goal: within 2x)")
    return 0 if 0 < peak < 64 * 1024 else 1


if __name__ == "__main__":
    sys.exit(main())
