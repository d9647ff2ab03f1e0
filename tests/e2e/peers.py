"""Test peers and record helpers for the fault and load tests: record files
for stations, the names a collector printed, a collector that accepts and
stays silent, and hostile clients of several kinds.

Every wait has a deadline; all traffic stays on 127.0.0.1."""

import base64
import collections
import os
import queue
import random
import socket
import struct
import subprocess
import threading
import time

import qv7e2e as e


class HostRun:
    """One qv7host command started in a station, its output going to a file
    rather than a pipe: Wine's service processes, when a program starts them,
    keep that program's pipes open, and a pipe that never ends would hang the
    test."""

    def __init__(self, station, args, out_path, env=None):
        self.out = open(out_path, "w+", errors="replace")
        self.proc = subprocess.Popen(e.host_command(station, *args),
                                     env=env or e.environment(), cwd=station,
                                     stdin=subprocess.DEVNULL, stdout=self.out,
                                     stderr=subprocess.STDOUT)

    def finish(self, timeout):
        """Waits for the end (killing the program after timeout seconds, times
        the Wine factor); returns (status, output)."""
        try:
            status = self.proc.wait(timeout=timeout * e.SLOW)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait(timeout=30)
        self.out.seek(0)
        text = self.out.read()
        self.out.close()
        return status, text

    def kill(self):
        """Ends the program if it still runs (its output stays readable)."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=30)

    def discard(self):
        """Ends the program if it still runs and lets go of its output file."""
        self.kill()
        if not self.out.closed:
            self.out.close()


TIME_TEXT = "2024-01-05T14:03:09"
TIME_NAME = "20240105_140309"


def record_name(number, station):
    """The CSV name a station gives record number of TIME_TEXT."""
    return "%d_%s_%s.csv" % (number, TIME_NAME, station)


def record_text(number, size):
    """size bytes of printable CSV-like text that differ for every number; the
    host lends a record's bytes as a zero-terminated text, so no zero byte."""
    rng = random.Random(number * 7919 + size)
    head = b"record,%d\r\n" % number
    body = base64.b64encode(rng.randbytes(size))
    lines = [body[i:i + 76] + b"\r\n" for i in range(0, len(body), 78)]
    return (head + b"".join(lines))[:size]


def write_records(folder, first, count, size, station):
    """Writes count record files into folder; returns [(number, path, name,
    bytes)] for numbers first, first+1, ..."""
    os.makedirs(folder, exist_ok=True)
    records = []
    for number in range(first, first + count):
        text = record_text(number, size)
        path = os.path.join(folder, "r%d.txt" % number)
        with open(path, "wb") as f:
            f.write(text)
        records.append((number, path, record_name(number, station), text))
    return records


def names_until(collector, count, timeout, stop=None):
    """Names the collector prints until count have come, the deadline passes
    or stop() says so."""
    names = []
    deadline = time.time() + timeout * e.SLOW
    while len(names) < count and time.time() < deadline:
        if stop and stop():
            break
        try:
            names.append(collector.names.get(timeout=0.05))
        except queue.Empty:
            pass
    return names


def names_settled(collector, quiet=1.0, timeout=30):
    """Every further name the collector prints until it has been quiet for
    quiet seconds (or the deadline passes)."""
    names = []
    deadline = time.time() + timeout * e.SLOW
    while time.time() < deadline:
        try:
            names.append(collector.names.get(timeout=quiet * e.SLOW))
        except queue.Empty:
            break
    return names


def tally(names):
    return collections.Counter(names)


def csv_names(folder):
    """The CSV files of a folder (a resend folder or an inbox)."""
    if not os.path.isdir(folder):
        return []
    return sorted(n for n in os.listdir(folder) if n.lower().endswith(".csv"))


def read_log(station):
    path = os.path.join(station, "qv7_sock.log")
    if not os.path.exists(path):
        return ""
    with open(path, "rb") as f:
        return f.read().decode("latin-1")


class SilentCollector:
    """Listens on a port, accepts every connection and says nothing. Records,
    per connection, whether the peer closed it and when."""

    def __init__(self, port):
        self.listener = socket.socket()
        # Its connections, closed by this side, must not keep the collector
        # that takes the port over from binding it.
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(16)
        self.listener.settimeout(0.1)
        self.closed_by_peer = []   # times at which a station closed
        self.accepted = 0
        self._conns = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            try:
                conn, _ = self.listener.accept()
            except OSError:
                continue
            self.accepted += 1
            self._conns.append(conn)
            threading.Thread(target=self._hold, args=(conn,), daemon=True).start()

    def _hold(self, conn):
        conn.settimeout(0.2)
        while not self._stop.is_set():
            try:
                if not conn.recv(4096):
                    self.closed_by_peer.append(time.time())
                    return
            except socket.timeout:
                continue
            except OSError:
                self.closed_by_peer.append(time.time())
                return

    def close(self):
        self._stop.set()
        self._thread.join(timeout=5)
        self.listener.close()
        for c in self._conns:
            c.close()


# Wine hands a listen backlog of 1 to Linux unchanged, and Linux leaves a
# connection that finds that queue full connected on the client's side but
# never accepted (Windows would refuse it). Under Wine a peer that hears no
# greeting therefore tries again a few times; natively it must be greeted at
# the first attempt.
GREET_ATTEMPTS = 6 if e.WINDOWS else 1
GREET_TIMEOUT = 20 if e.WINDOWS else 120


def greet(port):
    """A connection that has read the collector's greeting; None when the
    greeting did not come."""
    for _ in range(GREET_ATTEMPTS):
        s = socket.create_connection(("127.0.0.1", port), timeout=GREET_TIMEOUT)
        try:
            line = e.read_line(s)
        except socket.timeout:
            s.close()
            continue
        if line == b"+OK":
            s.settimeout(120 * e.SLOW)
            return s
        s.close()
        return None
    return None


def reset(sock):
    """Closes with a reset instead of an orderly close."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class Hostile:
    """One hostile connection run on its own thread until release is set (or
    its own end). kind is one of KINDS; ok says whether what the collector did
    was as expected for that kind, detail says why not."""

    KINDS = ("silent", "slow_file", "trickle", "garbage", "bad_base64", "reset_mid_line",
             "huge_name")

    def __init__(self, kind, port, index, release):
        self.kind, self.port, self.index, self.release = kind, port, index, release
        self.ok = None
        self.detail = ""
        self.stored = None   # (name, bytes) the collector must hold afterwards
        self.thread = threading.Thread(target=self._run, daemon=True)

    def start(self):
        self.thread.start()

    def _run(self):
        start = time.time()
        try:
            self.ok = getattr(self, "_" + self.kind)()
        except OSError as ex:
            self.ok, self.detail = False, "%r after %.1f s" % (ex, time.time() - start)

    def _linger(self):
        """Holds the connection until released."""
        self.release.wait(timeout=120 * e.SLOW)

    def _silent(self):
        # Greeted like everyone, then says nothing at all.
        s = greet(self.port)
        if s is None:
            self.detail = "no greeting"
            return False
        self._linger()
        s.close()
        return True

    def _slow_file(self):
        # A real file sent a few bytes at a time: stored whole in the end.
        name = b"slow%03d.csv" % self.index
        content = record_text(100000 + self.index, 3000)
        s = greet(self.port)
        if s is None:
            self.detail = "no greeting"
            return False
        for b in (name[:3], name[3:], b"\r", b"\n"):
            s.sendall(b)
            time.sleep(0.05)
        if e.read_line(s) != b"+OK":
            self.detail = "name not answered"
            return False
        line = base64.b64encode(content) + b"\r\n"
        for i in range(0, len(line), 200):
            s.sendall(line[i:i + 200])
            time.sleep(0.02)
        reply = e.read_line(s)
        s.close()
        self.stored = (name.decode(), content)
        self.detail = "reply %r" % reply
        return reply == b"+OK"

    def _trickle(self):
        # A data line that never ends: one byte now and then until released.
        s = greet(self.port)
        if s is None:
            return False
        s.sendall(b"trickle%03d.csv\r\n" % self.index)
        if e.read_line(s) != b"+OK":
            return False
        while not self.release.wait(timeout=0.2):
            s.sendall(b"QUJD")
        s.close()
        return True

    def _garbage(self):
        # Binary noise with no line end, then an orderly close.
        s = greet(self.port)
        if s is None:
            return False
        rng = random.Random(self.index)
        noise = bytes(rng.randrange(256) for _ in range(50000)).replace(b"\r\n", b"..")
        s.sendall(noise)
        s.close()
        return True

    def _bad_base64(self):
        # A name and a data line of foreign characters: answered each.
        s = greet(self.port)
        if s is None:
            return False
        s.sendall(b"bad%03d.csv\r\n" % self.index)
        first = e.read_line(s)
        s.sendall(b"\x00\xff*** not base64 at all ***\x80\r\n")
        second = e.read_line(s)
        s.close()
        self.detail = "replies %r %r" % (first, second)
        return first == b"+OK" and second in (b"+OK", b"-ERR")

    def _reset_mid_line(self):
        # Half a data line, then a reset.
        s = greet(self.port)
        if s is None:
            return False
        s.sendall(b"reset%03d.csv\r\n" % self.index)
        if e.read_line(s) != b"+OK":
            return False
        s.sendall(base64.b64encode(b"x" * 3000)[:1500])
        time.sleep(0.05)
        reset(s)
        return True

    def _huge_name(self):
        # A name line of 10,000 characters: answered, and the file refused or
        # stored under a cut name inside the folder.
        s = greet(self.port)
        if s is None:
            return False
        s.sendall(b"N" * 10000 + b"\r\n")
        first = e.read_line(s)
        s.sendall(base64.b64encode(b"huge") + b"\r\n")
        second = e.read_line(s)
        s.close()
        self.detail = "replies %r %r" % (first, second)
        return first == b"+OK" and second in (b"+OK", b"-ERR")
