"""Helpers for the end-to-end tests: stations and collectors as separate
qv7host processes on loopback, natively or under Wine.

A station is a folder holding a copy of the module and its INI file; the
module keeps its log and resend folder beside itself. QV7_TARGET picks the
build (native or win64), QV7_BUILD_DIR the build folder."""

import os
import queue
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

TARGET = os.environ.get("QV7_TARGET", "native")
BUILD_DIR = os.path.abspath(os.environ.get("QV7_BUILD_DIR", "build/native"))
WINE = "/usr/lib/wine/wine64"
WINDOWS = TARGET == "win64"
HOST = os.path.join(BUILD_DIR, "qv7host.exe" if WINDOWS else "qv7host")
MODULE = os.path.join(BUILD_DIR, "qv7_sock.qv7")
# Wine starts take seconds; everything that waits on a process allows for it.
SLOW = 4 if WINDOWS else 1


def host_path(path):
    """The path as the host program sees it ("Z:\\..." under Wine)."""
    path = os.path.abspath(path)
    return "Z:" + path.replace("/", "\\") if WINDOWS else path


def environment():
    env = dict(os.environ)
    env["WINEDEBUG"] = "-all"
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    return env


def keep_wineserver():
    """Keeps one wineserver up for the run, so each Wine start is cheaper (it
    ends by itself a while after the last Wine process), and starts Wine's
    service processes with a throwaway program that has no pipes: they
    inherit the standard handles of the program that starts them, and a pipe
    a test reads from a collector would then never end."""
    if WINDOWS:
        subprocess.run(["/usr/lib/wine/wineserver", "-p30"], env=environment(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINE, HOST, "--help"], env=environment(),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_station(folder, ini):
    """A station folder: the module and an INI file made of ini, a dict of
    section -> {key: value}."""
    os.makedirs(folder, exist_ok=True)
    shutil.copy(MODULE, os.path.join(folder, "qv7_sock.qv7"))
    lines = []
    for section, keys in ini.items():
        lines.append("[%s]" % section)
        lines.extend("%s=%s" % (k, v) for k, v in keys.items())
    with open(os.path.join(folder, "qv7_sock.ini"), "w", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")
    return folder


def host_command(station, *args):
    cmd = [HOST, "--module", host_path(os.path.join(station, "qv7_sock.qv7"))]
    cmd += list(args)
    return [WINE] + cmd if WINDOWS else cmd


def run_host(station, *args, timeout=120):
    """Runs one qv7host command to its end; returns the CompletedProcess."""
    return subprocess.run(host_command(station, *args), env=environment(), cwd=station,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=timeout * SLOW, text=True, errors="replace")


class Collector:
    """qv7host serve in a station folder, storing into its "inbox" folder.
    Each stored file's name arrives as a line on stdout."""

    def __init__(self, folder, port, log_level=1):
        self.folder = make_station(folder, {"option": {"log": log_level},
                                            "server": {"port": port}})
        self.port = port
        self.inbox = os.path.join(folder, "inbox")
        os.makedirs(self.inbox, exist_ok=True)
        self.names = queue.Queue()
        self.stderr = []
        self.proc = subprocess.Popen(host_command(self.folder, "serve", "--dir",
                                                  host_path(self.inbox)),
                                     env=environment(), cwd=self.folder,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, errors="replace")
        self.readers = [
            threading.Thread(target=self._read, args=(self.proc.stdout, self.names.put),
                             daemon=True),
            threading.Thread(target=self._read, args=(self.proc.stderr, self.stderr.append),
                             daemon=True)]
        for t in self.readers:
            t.start()

    @staticmethod
    def _read(stream, put):
        for line in stream:
            put(line.rstrip("\r\n"))

    def wait_listening(self, timeout=15):
        """Waits until the collector greets; raises when it does not."""
        deadline = time.time() + timeout * SLOW
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("collector ended: %s" % self.stderr)
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
                    if read_line(s) == b"+OK":
                        return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError("collector does not listen on %d" % self.port)

    def stored(self, count, timeout=60):
        """The next count names printed, in order of arrival."""
        names = []
        deadline = time.time() + timeout * SLOW
        while len(names) < count:
            left = deadline - time.time()
            if left <= 0:
                break
            try:
                names.append(self.names.get(timeout=left))
            except queue.Empty:
                break
        return names

    def wait(self, timeout):
        """Waits for the collector to end by itself; returns its status once
        everything it printed has been read."""
        status = self.proc.wait(timeout=timeout * SLOW)
        for t in self.readers:
            t.join(timeout=10)
        return status

    def stop(self):
        """Interrupts the collector (as Ctrl+C would) and returns its status."""
        if self.proc.poll() is None:
            if WINDOWS:
                self.proc.kill()
            else:
                self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(timeout=10 * SLOW)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait()
        for t in self.readers:
            t.join(timeout=10)
        # A reader still blocked means a Wine service process holds the other
        # end of the pipe; closing the stream under it would wait for it
        # forever, so such a stream is left to the daemon thread.
        for t, stream in zip(self.readers, (self.proc.stdout, self.proc.stderr)):
            if not t.is_alive():
                stream.close()
        return status


def read_line(sock):
    """One CR LF line from a socket, without its CR LF; b"" when closed first."""
    data = b""
    while not data.endswith(b"\r\n"):
        c = sock.recv(1)
        if not c:
            return b""
        data += c
    return data[:-2]


def temp_root(name):
    return tempfile.mkdtemp(prefix="qv7_%s_%s_" % (name, TARGET))


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()
