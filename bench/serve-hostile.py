"""can-serve against clients that try to wear it down, over loopback, each measure on a server of its own
serving virtual bus CAN0 at 125 kbit/s:
  idle:   80 connections that never send a byte; seconds until python-can's own client (started again
          after each refusal) is served, counted from the first of them            (target: 20 s)
  memory: 64 clients that each send 200,000 "< subscribe >" and never read; the server's growth in
          RSS, and what is left 3 s after they hung up                             (target: 64 MB)
  fair:   one client's job at 1 µs beside another's at 10 ms, for 5 s; the share of the second's
          frames that went out                                                     (target: 90 %)
  close:  a client asks for 5000 jobs at 100 ms of 8-byte frames (256 are made, each sent at once,
          which keeps its thread in transmits) and hangs up at once; how long after that the jobs'
          frames still go out                                                      (target: 1 s)

Usage: /usr/bin/python3 bench/serve-hostile.py [BUILD-DIR [MEASURE...]]   (defaults: build, all four)
"""

import os
import re
import socket
import subprocess
import sys
import threading
import time

import can

BIN = os.path.join(os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build"), "bin")


class Server:
    def __init__(self):
        env = dict(os.environ, RVCAN32CE_NAMESPACE=f"serve-hostile-{os.getpid()}")
        env.pop("RVCAN32CE_CAN0", None)
        self.process = subprocess.Popen([os.path.join(BIN, "can-serve"), "-n", "-p", "0", "CAN0"],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, text=True)
        self.port = int(re.search(r":(\d+),", self.process.stdout.readline()).group(1))

    def rss_mb(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS")) / 1024

    def client(self, mode=None):
        """A connection on CAN0 in BCM mode, or raw mode with the stream released."""
        s = socket.create_connection(("127.0.0.1", self.port))
        s.settimeout(10)
        s.recv(100)
        s.sendall(b"< open CAN0 >")
        s.recv(100)
        if mode == "raw":
            s.sendall(b"< rawmode >")
            s.recv(100)
            s.sendall(b"< echo >")
        return s

    def close(self):
        self.process.terminate()
        self.process.wait()


def watch(s, stop, frames):
    """Appends (arrival, id) for each frame a raw-mode client receives, until stop."""
    pending = b""
    s.settimeout(0.2)
    while not stop.is_set():
        try:
            data = s.recv(65536)
        except socket.timeout:
            continue
        if not data:
            return
        *messages, pending = (pending + data).split(b">")
        now = time.monotonic()
        frames.extend((now, m.split()[2]) for m in messages if m.split()[1:2] == [b"frame"])


def idle(server):
    start = time.monotonic()
    silent = [socket.create_connection(("127.0.0.1", server.port)) for _ in range(80)]
    while time.monotonic() - start < 30:
        try:
            can.Bus(interface="socketcand", host="127.0.0.1", port=server.port, channel="CAN0").shutdown()
            served = time.monotonic() - start
            silent.clear()
            return f"python-can served {served:.1f} s after the first of 80 silent connections"
        except can.CanError:
            time.sleep(0.2)
    silent.clear()
    return "python-can not served within 30 s of 80 silent connections"


def memory(server):
    before = server.rss_mb()
    clients = [server.client() for _ in range(64)]

    def flood(s):
        try:
            for batch in range(50):
                s.sendall(b"".join(b"< subscribe 0 0 %08X >" % (batch * 4000 + i) for i in range(4000)))
        except OSError:
            pass  # the server stopped reading: its replies are not read

    for s in clients:
        s.settimeout(3)
    floods = [threading.Thread(target=flood, args=(s,)) for s in clients]
    for thread in floods:
        thread.start()
    for thread in floods:
        thread.join()
    peak = server.rss_mb()
    for s in clients:
        s.close()
    time.sleep(3)
    return (f"RSS {before:.1f} MB, {peak:.1f} MB with 64 hostile clients (+{peak - before:.1f} MB), "
            f"{server.rss_mb():.1f} MB 3 s after they left")


def frames_around(server, act, seconds):
    """The bus's frames (arrival, id) from before act() to seconds after it returned, and when it did."""
    stop, frames = threading.Event(), []
    thread = threading.Thread(target=watch, args=(server.client("raw"), stop, frames))
    thread.start()
    act()
    acted = time.monotonic()
    time.sleep(seconds)
    stop.set()
    thread.join()
    return frames, acted


def fair(server):
    clients = [server.client(), server.client()]

    def start_jobs():
        clients[0].sendall(b"< add 0 1 7FF 1 AA >")
        clients[1].sendall(b"< add 0 10000 001 1 BB >")
        time.sleep(0.5)

    frames, start = frames_around(server, start_jobs, 5)
    counted = [i for t, i in frames if start <= t < start + 5]
    return (f"in 5 s the 10 ms job sent {counted.count(b'001')} of 500 frames "
            f"({counted.count(b'001') / 5:.0f} %), the 1 µs job {counted.count(b'7FF')}")


def close(server):
    client = server.client()

    def add_and_hang_up():
        client.sendall(b"".join(b"< add 0 100000 %03X 8 11 22 33 44 55 66 77 88 >" % (0x200 + i) for i in range(5000)))
        client.close()

    frames, closed = frames_around(server, add_and_hang_up, 8)
    late = [t - closed for t, i in frames if t > closed]
    return (f"the jobs' frames went on {max(late, default=0):.2f} s after the hang-up "
            f"({sum(1 for t in late if t > 1)} of them later than 1 s)")


def main():
    measures = sys.argv[2:] or ["idle", "memory", "fair", "close"]
    print(f"load: {open('/proc/loadavg').read().strip()}")
    for name in measures:
        server = Server()
        try:
            print(f"{name}: {globals()[name](server)}", flush=True)
        finally:
            server.close()


if __name__ == "__main__":
    main()
